// A configuration file in whichever of its three forms the bytes hold (plain text,
// "QuelvaranBinaryText" with a printable compressed text, "QuelvaranBinary" with a header and a
// zlib stream), read from a file as the framework reads it and from memory.
#include "FuzzInput.h"

#include "INIOBJ.h"

namespace {

const char kPath[] = "C:\\Fuzz\\config.ini";

void Ask(const IniObj& ini)
{
    const char* sections[] = {"Main", "S", "CustomCommands", "Strings", "%StartupCfg", "Config", ""};
    const char* tags[] = {"Flag", "K", "ShowDialog", "Reboot", "Commands_0", "UseLocalizedDecimalPoint", ""};
    for (const char* section : sections) {
        for (const char* tag : tags) {
            bool value = false, wellFormed = true;
            bool found = ini.Get(section, tag, value, wellFormed);
            FUZZ_CHECK(!found || wellFormed);
            const char* text = nullptr;
            int quoted = 0;
            if (IniText_GetString(ini.GetConfiguration(), section, tag, &text, &quoted) == 1)
                FUZZ_CHECK(text != nullptr);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in = fuzz::Prepare(data, size);
    HostSetMemoryFile(kPath, in.bytes.data(), in.bytes.size());
    fuzz::Answer([&] {
        IniObj ini{DynamicString(kPath)};
        Ask(ini);
    });
    fuzz::Answer([&] {
        IniObj ini;
        ini.ReadString(DynamicString(in.Text()));
        Ask(ini);
    });
    fuzz::Answer([&] {
        IniObj ini;
        if (ini.ReadAsBinary(DynamicString(kPath)))
            FUZZ_CHECK(ini.IsFromCompressedForm());
    });
    HostSetMemoryFile(kPath, nullptr, 0);
    return 0;
}
