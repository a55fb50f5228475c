// A command's output as log lines: the bytes are whatever a command writes (binary, NUL bytes,
// broken double-byte characters, any line ends). The first three bytes after the code-page byte
// set the limits (head, tail, line and what a line costs) and whether the stream is UTF-8, the
// rest is the stream. The oracle: the lines do not depend
// on how the stream arrives in pieces; every line is safe to log (no control character but the
// tab, whole characters only); what is logged stays within the limits; the left-out count comes
// once at most.
#include "FuzzInput.h"

#include <string>
#include <vector>

#include "runner/OutputLines.h"

namespace {

std::vector<std::string> Lines(const std::string& stream, const std::vector<size_t>& cuts, const OutputLimits& limits,
                               UINT codePage, int& leftOutCalls)
{
    std::vector<std::string> lines;
    leftOutCalls = 0;
    OutputLines out([&](const std::string& line) { lines.push_back(line); },
                    [&](uint64_t bytes, uint64_t count) {
                        ++leftOutCalls;
                        FUZZ_CHECK(bytes >= count && count > 0);
                        lines.push_back("<left out " + std::to_string(bytes) + " " + std::to_string(count) + ">");
                    },
                    codePage, limits);
    size_t at = 0;
    for (size_t cut : cuts) {
        out.Add(stream.data() + at, cut - at);
        at = cut;
    }
    out.Add(stream.data() + at, stream.size() - at);
    out.Finish();
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in = fuzz::Prepare(data, size);
    if (in.bytes.size() < 3)
        return 0;
    OutputLimits limits;
    limits.headBytes = (unsigned char)in.bytes[0] % 64;
    limits.tailBytes = (unsigned char)in.bytes[1] % 64;
    limits.lineBytes = (unsigned char)in.bytes[2] % 32 + 1;
    limits.lineCost = (unsigned char)in.bytes[2] / 64 % 2;
    // The command writes in the OEM code page, or in UTF-8, whose characters take up to 4 bytes.
    const UINT codePage = (unsigned char)in.bytes[2] >= 128 ? CP_UTF8 : CP_OEMCP;
    const std::string stream = in.bytes.substr(3);

    int whole = 0, pieces = 0, bytewise = 0;
    std::vector<std::string> expected = Lines(stream, {}, limits, codePage, whole);
    // Pieces of sizes drawn from the stream itself, and one byte at a time.
    std::vector<size_t> cuts, everyByte;
    unsigned seed = (unsigned)stream.size() * 2654435761u;
    for (size_t at = 0;;) {
        seed = seed * 1103515245u + 12345u;
        at += 1 + (seed >> 16) % 7;
        if (at >= stream.size())
            break;
        cuts.push_back(at);
    }
    for (size_t at = 1; at < stream.size(); ++at)
        everyByte.push_back(at);
    FUZZ_CHECK(Lines(stream, cuts, limits, codePage, pieces) == expected);
    FUZZ_CHECK(Lines(stream, everyByte, limits, codePage, bytewise) == expected);
    FUZZ_CHECK(whole <= 1);

    size_t logged = 0;
    for (const std::string& line : expected) {
        if (line.compare(0, 10, "<left out ") == 0)
            continue;
        for (unsigned char c : line)
            FUZZ_CHECK(c == '\t' || (c >= 0x20 && c != 0x7F));
        FUZZ_CHECK(fuzz::EndsOnWholeCharacter(line.c_str()));
        logged += line.size() + 1;
    }
    // A line may grow in conversion (a broken character becomes a whole one), never beyond twice.
    const size_t line = limits.lineBytes < 4 ? 4 : limits.lineBytes;
    FUZZ_CHECK(logged <= 2 * (limits.headBytes + limits.tailBytes + line + 1));
    return 0;
}
