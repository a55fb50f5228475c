// Formatted number output with a fuzzed format, numbered message arguments and number parsing.
// Layout: code page byte, 8 bytes of number, one selector byte, then the text (format or
// message); the text after the first tab is the argument.
#include "FuzzInput.h"

#include <string.h>

#include "FormattedNumber.h"
#include "kestring.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in = fuzz::Prepare(data, size);
    uint64_t bits = 0;
    memcpy(&bits, in.bytes.data(), in.bytes.size() < 8 ? in.bytes.size() : 8);
    unsigned selector = in.bytes.size() > 8 ? (unsigned char)in.bytes[8] : 0;
    std::string text = in.bytes.size() > 9 ? in.bytes.substr(9) : std::string();
    text = text.c_str();  // a text ends at its first NUL
    std::string argument;
    size_t tab = text.find('\t');
    if (tab != std::string::npos) {
        argument = text.substr(tab + 1);
        text.resize(tab);
    }

    // Cuts and edits keep whole characters, unless the input itself ends in half of one.
    const bool whole = fuzz::EndsOnWholeCharacter(text.c_str()) && fuzz::EndsOnWholeCharacter(argument.c_str());
    // Except that %c prints the number's low byte as it is, which may be a lead byte.
    const bool wholeNumber = whole && text.find_first_of("cC") == std::string::npos;

    // The number in each of the three types, each decimal point kind.
    double d;
    memcpy(&d, &bits, sizeof d);
    int kind = 1 + (int)(selector % 4);
    {
        DynamicString out("<");
        fuzz::Answer([&] { out.Append(d, kind, text.c_str()); });
        fuzz::Answer([&] { out.Append((int64_t)bits, text.c_str()); });
        fuzz::Answer([&] { out.Append((uint64_t)bits, text.c_str()); });
        FUZZ_CHECK(!wholeNumber || fuzz::EndsOnWholeCharacter(out.GetString()));
        StaticString<64> fixed;
        fuzz::Answer([&] { fixed.Append(d, kind, text.c_str()); });
        FUZZ_CHECK(fixed.GetByteLength() <= 64);
    }

    // Numbered arguments into a message template, into heap and fixed strings.
    int n = 1 + (int)((selector >> 2) % 9);
    {
        DynamicString message(text.c_str());
        fuzz::Answer([&] { message.ReplaceArgument(argument.c_str(), n); });
        fuzz::Answer([&] { message.ReplaceArgument((int)bits, n + 1); });
        StaticString<64> fixed(text.c_str());
        fuzz::Answer([&] { fixed.ReplaceArgument(argument.c_str(), n); });
        FUZZ_CHECK(fixed.GetByteLength() <= 64);
        FUZZ_CHECK(!whole || fuzz::EndsOnWholeCharacter(fixed.GetString()));
    }

    // Number parsing of the same text.
    {
        DynamicString number(text.c_str());
        double parsed;
        int64_t wide;
        long narrow;
        unsigned long positive;
        int used = 0, end = 0;
        fuzz::Answer([&] { number.ToDouble(parsed, used); });
        fuzz::Answer([&] { number.ToInt64(wide, used); });
        fuzz::Answer([&] { number.ToLong(narrow, 0, end); });
        fuzz::Answer([&] { number.ToULong(positive, end); });
        const char* stop = nullptr;
        fuzz::Answer([&] { String::ParseDouble(text.c_str(), &stop); });
    }
    return 0;
}
