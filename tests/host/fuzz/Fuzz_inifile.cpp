// A configuration file in whichever of its three forms the bytes hold (plain text,
// "QuelvaranBinaryText" with a printable compressed text, "QuelvaranBinary" with a header and a
// zlib stream), read from a file as the framework reads it and from memory. The oracle: the same
// bytes give the same configuration both ways, and the compressed reader claims exactly the
// files that begin with its magic.
#include "FuzzInput.h"

#include <string.h>

#include <set>
#include <string>

#include "INIOBJ.h"

namespace {

const char kPath[] = "C:\\Fuzz\\config.ini";

// Every answer a configuration gives to the questions, as one text.
std::string Answers(const IniObj& ini, const std::set<std::string>& sections, const std::set<std::string>& tags)
{
    std::string all;
    for (const std::string& section : sections) {
        for (const std::string& tag : tags) {
            bool value = false, wellFormed = true;
            bool found = ini.Get(section.c_str(), tag.c_str(), value, wellFormed);
            FUZZ_CHECK(!found || wellFormed);
            const char* text = nullptr;
            int quoted = 0;
            int got = IniText_GetString(ini.GetConfiguration(), section.c_str(), tag.c_str(), &text, &quoted);
            FUZZ_CHECK(got == 0 || (got == 1 && text != nullptr));
            all += "[" + section + "]" + tag + "=" + (found ? (value ? "T" : "F") : "-") + (wellFormed ? "" : "!") +
                   (got == 1 ? std::string(quoted ? "q:" : ":") + text : std::string("missing")) + "\n";
        }
    }
    return all;
}

// The questions: fixed names, and every name in the text that looks like a section or a tag.
void Questions(const std::string& text, std::set<std::string>& sections, std::set<std::string>& tags)
{
    sections = {"Main", "S", "CustomCommands", "Strings", "%StartupCfg", "Config", ""};
    tags = {"Flag", "K", "ShowDialog", "Reboot", "Commands_0", "UseLocalizedDecimalPoint", ""};
    size_t start = 0;
    while (start < text.size() && sections.size() + tags.size() < 64) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos)
            continue;
        if (line[first] == '[') {
            size_t close = line.find(']', first);
            sections.insert(line.substr(first + 1, close == std::string::npos ? std::string::npos : close - first - 1));
        } else {
            tags.insert(line.substr(first, line.find('=', first) - first));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in = fuzz::Prepare(data, size);
    std::set<std::string> sections, tags;
    Questions(in.bytes, sections, tags);
    HostSetMemoryFile(kPath, in.bytes.data(), in.bytes.size());
    std::string fromFile, fromMemory;
    bool fileRead = fuzz::Answer([&] {
        IniObj ini{DynamicString(kPath)};
        fromFile = Answers(ini, sections, tags);
    });
    bool memoryRead = fuzz::Answer([&] {
        IniObj ini;
        ini.ReadString(DynamicString(in.Text()));
        fromMemory = Answers(ini, sections, tags);
    });
    // A text read from memory ends at its first NUL, where a file goes on; the binary form and a
    // magic without the prefix's 20 bytes after it exist only as files.
    const bool compressed = in.bytes.size() >= 20 && in.bytes.compare(0, 15, "QuelvaranBinary") == 0;
    const bool sameBytes = strlen(in.Text()) == in.bytes.size() &&
                           (compressed ? in.bytes.compare(0, 19, "QuelvaranBinaryText") == 0
                                       : in.bytes.compare(0, 15, "QuelvaranBinary") != 0);
    if (sameBytes && fileRead && memoryRead)
        FUZZ_CHECK(fromFile == fromMemory);
    fuzz::Answer([&] {
        IniObj ini;
        FUZZ_CHECK(ini.ReadAsBinary(DynamicString(kPath)) == compressed);
    });
    HostSetMemoryFile(kPath, nullptr, 0);
    return 0;
}
