// DLLs planted in a kit folder: a version.dll and an msi.dll beside sarnik.exe and sarnikcheck.exe,
// each writing a marker when loaded, with Wine told to load those names from the program's folder
// first, as Windows does for DLLs that are not known DLLs. Neither program may load them, and the
// run must still recognise the setup engine and rewrite a nested kit through the system's msi.dll.
// Without the system DLLs the run goes on and its log says why.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/KitPackage.h"
#include "support/TestSupport.h"

using namespace test;

// The checker checks for the program of its own architecture (the 64-bit one for the 32-bit
// program only through its sibling in the package).
#if defined(_WIN64)
const char kOwnArch[] = "x64";
#else
const char kOwnArch[] = "x86";
#endif

namespace {
const char kInstallerKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer";
const char* const kPlanted[] = {"version.dll", "msi.dll"};

// The setting each test runs in is made by its CTest entry: WINEDLLOVERRIDES can only be given to
// Wine from outside, at the start of the test program, whose started programs inherit it.
const char kSetting[] = "run by CTest, which sets SARNIK_DLL_OVERRIDES=";

// The JSON report's texts are UTF-8, the program's the ANSI code page's.
std::string Utf8(const std::string& ansi) {
    std::wstring wide(ansi.size(), L'\0');
    wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0],
                                                        static_cast<int>(wide.size()))));
    std::string utf8(wide.size() * 3, '\0');
    utf8.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0],
                                                        static_cast<int>(utf8.size()), nullptr, nullptr)));
    return utf8;
}

std::string Upper(std::string s) {
    CharUpperBuffA(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

// Copies the planted DLLs into dir.
void Plant(const std::string& dir) {
    for (const char* dll : kPlanted)
        ASSERT_TRUE(CopyFileA(BinPath((std::string("planted\\") + dll).c_str()).c_str(), (dir + "\\" + dll).c_str(),
                              FALSE))
            << dll << " " << GetLastError();
}

// Whether the system's module imports dll at load time.
bool SystemModuleImports(const char* module, const char* dll) {
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(module));
    if (!base) return false;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return false;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d)
        if (_stricmp(reinterpret_cast<char*>(base + d->Name), dll) == 0) return true;
    return false;
}

// The markers the planted DLLs left in dir, with the processes that loaded or called them.
std::string Markers(const std::string& dir) {
    // Wine's own user32 imports version.dll (Windows' does not), and like any import it is looked
    // for in the program's folder first: there a planted version.dll is loaded into every program
    // with windows, before the program runs. What the program does about it shows in the calls:
    // the program's own must reach the system's version.dll, never the planted one.
    const bool platformLoadsVersion = SystemModuleImports("user32.dll", "version.dll");
    std::string found;
    for (const char* dll : kPlanted)
        for (const char* suffix : {".loaded", ".called"}) {
            if (platformLoadsVersion && std::string(dll) == "version.dll" && std::string(suffix) == ".loaded") continue;
            std::string marker = dir + "\\" + dll + suffix;
            if (FileExists(marker)) found += std::string(dll) + suffix + " by " + ReadFile(marker);
        }
    return found;
}

// Fields of a probe mark line: text, tick.
struct Mark {
    std::string text;
    DWORD tick = 0;
};
std::vector<Mark> Marks(const std::string& file) {
    std::vector<Mark> marks;
    for (const std::string& line : ReadLines(file)) {
        std::vector<std::string> w = Words(line);
        if (w.size() >= 2) marks.push_back({w[0], static_cast<DWORD>(std::stoul(w[1]))});
    }
    return marks;
}
const Mark* Find(const std::vector<Mark>& marks, const std::string& text) {
    for (const Mark& m : marks)
        if (m.text == text) return &m;
    return nullptr;
}

// Runs sarnik.exe from the given path on kit in dialog mode and returns its log once the run is over.
std::string RunSarnik(const std::string& exe, const Kit& kit, const std::vector<std::string>& env) {
    Process sarnik(exe, kit.Args(), env);
    EXPECT_TRUE(sarnik.Started()) << exe;
    HWND dlg = WaitForWindow(sarnik.Id(), nullptr, "Command Progress", 20000);
    if (!dlg) {
        ADD_FAILURE() << "no dialog";
        return "";
    }
    bool over = WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dlg, IDOK)) != FALSE; }, 120000);
    std::string log = WindowText(GetDlgItem(dlg, 1000));
    EXPECT_TRUE(over) << "run not over; log so far:\n" << log;
    PostMessageA(dlg, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(sarnik.Wait(20000));
    return log;
}

// Whether the process pid has loaded a module of the given file name.
bool HasModule(DWORD pid, const char* name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    EXPECT_NE(snapshot, INVALID_HANDLE_VALUE) << GetLastError();
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    MODULEENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Module32First(snapshot, &entry); more && !found; more = Module32Next(snapshot, &entry))
        found = _stricmp(entry.szModule, name) == 0;
    CloseHandle(snapshot);
    return found;
}

// A kit from the template in folder: setup program, SETUP.INI and a package with the marker (made
// beforehand: msi.dll may be disabled in this process).
void MakeNestedKit(const std::string& folder) {
    MakeDirs(folder);
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), (folder + "\\setup.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(BinPath("nestedkit.msi").c_str(), (folder + "\\product.msi").c_str(), FALSE));
    WriteFile(folder + "\\SETUP.INI", "[Installer]\r\nPackage=product.msi\r\n");
}
}  // namespace

// The setting itself plants: a program that imports both names at load time gets the planted ones.
TEST(PlantedDlls, AProgramImportingThemLoadsThePlantedOnes) {
    TempFolder folder("importer");
    Plant(folder.Path());
    ASSERT_TRUE(CopyFileA(BinPath("importer.exe").c_str(), (folder / "importer.exe").c_str(), FALSE));
    std::string output;
    RunConsoleProgram(Quoted(folder / "importer.exe"), output);
    for (const char* dll : kPlanted)
        EXPECT_TRUE(FileExists(folder / (std::string(dll) + ".loaded")))
            << dll << " was not loaded (" << kSetting << "version,msi=n,b): " << output;
}

TEST(PlantedDlls, NeitherProgramLoadsThemAndTheRunStillWorks) {
    Kit kit;
    Plant(kit.Dir());
    for (const char* exe : {"sarnik.exe", "sarnikcheck.exe"})
        ASSERT_TRUE(CopyFileA(BinPath(exe).c_str(), kit.File(exe).c_str(), FALSE)) << exe;
    const std::string marks = kit.File("marks.txt");

    // The nested kit's rewritten command starts a stand-in msiexec.exe, so nothing is installed.
    MakeNestedKit(kit.File("Nested"));
    TempFolder installer("msiexec");
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), (installer / "msiexec.exe").c_str(), FALSE));
    RegistryValueRestorer location(HKEY_LOCAL_MACHINE, kInstallerKey, "InstallerLocation");
    ASSERT_TRUE(location.SetString(installer.Path()));

    // The engine (started without arguments, so it reads PROBE_ARGS) ends without taking its
    // mutex. Recognised, it is waited for until it has taken the mutex: the next command must not
    // start before this test has taken it in the engine's place, well after the engine ended.
    const std::string engine = BinPath("engine.exe");
    const std::string nested = kit.File("Nested") + "\\setup.exe /q";
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=" + engine + "\r\nCommands_1=" + Quoted(BinPath("probe.exe")) +
                       " mark " + marks + " next\r\nCommands_2=" + nested + "\r\n");

    std::string log;
    {
        Process sarnik(kit.File("sarnik.exe"), kit.Args(), {"PROBE_ARGS=mark " + marks + " engine-ended"});
        ASSERT_TRUE(sarnik.Started());
        ASSERT_TRUE(WaitUntil([&] { return Find(Marks(marks), "engine-ended") != nullptr; }, 60000))
            << "the engine did not run";
        // Time for a run that did not recognise the engine to reach its next command.
        Sleep(3000);
        Process taker(BinPath("probe.exe"), "mark " + marks + " taken hold _ZQParentixMutex 1500");
        ASSERT_TRUE(taker.Wait(30000));
        HWND dlg = WaitForWindow(sarnik.Id(), nullptr, "Command Progress", 20000);
        ASSERT_NE(dlg, nullptr);
        bool over = WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dlg, IDOK)) != FALSE; }, 120000);
        log = WindowText(GetDlgItem(dlg, 1000));
        PostMessageA(dlg, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(sarnik.Wait(20000));
        ASSERT_TRUE(over) << "run not over; log so far:\n" << log;
    }
    std::vector<Mark> m = Marks(marks);
    const Mark* taken = Find(m, "taken");
    const Mark* next = Find(m, "next");
    ASSERT_TRUE(taken && next) << ReadFile(marks);
    EXPECT_GE(next->tick, taken->tick) << "the engine was not recognised: the next command did not wait for it";

    const std::string rewritten = "Invoking \"" + (installer / "msiexec.exe") + "\"  /i \"" +
                                  Upper(kit.File("Nested")) + "\\product.msi\" /q";
    const std::vector<std::string> expected = {
        "Waiting for parent installer to complete...",
        "Parent installer complete.",
        "Invoking " + engine,
        "Completed exit code:0",
        "Invoking " + Quoted(BinPath("probe.exe")) + " mark " + marks + " next",
        "Completed exit code:0",
        rewritten,
        "Completed exit code:0",
    };
    EXPECT_EQ(CrLfLines(log), expected) << log;

    // The checker from the same folder, under the same setting, sees the same run.
    std::string output;
    DWORD code = RunConsoleProgram(Quoted(kit.File("sarnikcheck.exe")) + " --json --arch " + kOwnArch + " " + Quoted(kit.Dir()), output);
    EXPECT_LE(code, 1u) << output;
    nlohmann::json report = nlohmann::json::parse(output, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << output;
    const nlohmann::json& commands = report["plan"]["commands"];
    ASSERT_EQ(commands.size(), 3u) << output;
    EXPECT_EQ(commands[0]["setupEngine"], true) << output;
    EXPECT_EQ(commands[2]["started"], Utf8(rewritten.substr(std::strlen("Invoking ")))) << output;

    EXPECT_EQ(Markers(kit.Dir()), "");
}

// msi.dll that cannot be had from the system folder: every command still runs, a nested kit's setup
// as written, and the log says why, once. (version.dll cannot be taken away under Wine, whose own
// user32 imports it: no program with windows would start.)
TEST(PlantedDlls, WithoutTheSystemMsiTheRunGoesOnAndSaysWhy) {
    HMODULE module = LoadLibraryExA("msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module) FreeLibrary(module);
    ASSERT_EQ(module, nullptr) << "msi.dll can be loaded: " << kSetting << "msi=";

    Kit kit;
    const std::string marks = kit.File("marks.txt");
    MakeNestedKit(kit.File("Nested"));
    const std::string nested = kit.File("Nested") + "\\setup.exe mark " + marks + " setup-ran";
    const std::string plain = Quoted(BinPath("probe.exe")) + " exit 0";
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=" + nested + "\r\nCommands_1=" + plain + "\r\nCommands_2=" + nested +
                       "\r\n");
    std::string log = RunSarnik(BinPath("sarnik.exe"), kit, {});

    const std::string why = "msi.dll could not be loaded from the system folder (";
    const std::string consequence = "): nested kits are started as written.";
    const std::vector<std::string> lines = CrLfLines(log);
    ASSERT_EQ(lines.size(), 9u) << log;
    EXPECT_EQ(lines[2].compare(0, why.size(), why), 0) << lines[2];
    EXPECT_GT(lines[2].size(), why.size() + consequence.size()) << "no reason given: " << lines[2];
    EXPECT_EQ(lines[2].substr(lines[2].size() - std::min(lines[2].size(), consequence.size())), consequence)
        << lines[2];
    const std::vector<std::string> rest = {"Invoking " + nested, "Completed exit code:0", "Invoking " + plain,
                                           "Completed exit code:0", "Invoking " + nested, "Completed exit code:0"};
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()), rest) << log;
    EXPECT_EQ(ReadLines(marks).size(), 2u);

    // The checker on this machine says the same, as a note of its plan, and finds no fault in the
    // kits' packages.
    std::string output;
    DWORD code = RunConsoleProgram(Quoted(BinPath("sarnikcheck.exe")) + " --json --arch " + kOwnArch + " " + Quoted(kit.Dir()), output);
    EXPECT_EQ(code, 0u) << output;
    nlohmann::json report = nlohmann::json::parse(output, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << output;
    ASSERT_EQ(report["plan"]["notes"].size(), 1u) << output;
    EXPECT_EQ(report["plan"]["notes"][0], Utf8(lines[2])) << output;
    EXPECT_EQ(report["findings"].size(), 0u) << output;
}

// A "sarnik.exe.local" folder beside the program redirects DLLs asked for by bare name on Windows,
// the common controls of the manifest among them (a folder named after their assembly inside it).
// Wine does not redirect, so what is tested is the program's side: it does not load the common
// controls at all there, still shows its dialog, and says why; without the folder it loads them.
TEST(PlantedDlls, ALocalFolderBesideSarnikKeepsTheCommonControlsOut) {
    for (bool local : {false, true}) {
        SCOPED_TRACE(local ? "with sarnik.exe.local" : "without");
        Kit kit;
        ASSERT_TRUE(CopyFileA(BinPath("sarnik.exe").c_str(), kit.File("sarnik.exe").c_str(), FALSE));
        if (local)
            MakeDirs(kit.File("sarnik.exe.local") + "\\" + (sizeof(void*) == 8 ? "amd64" : "x86") +
                     "_microsoft.windows.common-controls_6595b64144ccf1df_6.0.0.0_none_0");
        TempFolder wait("local");
        const std::string go = wait / "go";
        kit.SetCommandFile("[CustomCommands]\r\nCommands_0=" + Quoted(BinPath("probe.exe")) + " waitfile " + go +
                           " 60000\r\n");
        Process sarnik(kit.File("sarnik.exe"), kit.Args());
        ASSERT_TRUE(sarnik.Started());
        HWND dlg = WaitForWindow(sarnik.Id(), nullptr, "Command Progress", 20000);
        ASSERT_NE(dlg, nullptr) << "no dialog";
        EXPECT_EQ(HasModule(sarnik.Id(), "comctl32.dll"), !local);
        WriteFile(go, "go");
        ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dlg, IDOK)) != FALSE; }, 60000));
        std::string log = WindowText(GetDlgItem(dlg, 1000));
        std::string why = kit.File("sarnik.exe.local") +
                          " exists beside sarnik.exe: the common controls are not loaded, as that folder could put "
                          "other DLLs in their place.";
        EXPECT_EQ(log.find(why) != std::string::npos, local) << log;
        EXPECT_NE(log.find("Completed exit code:0"), std::string::npos) << log;
        PostMessageA(dlg, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(sarnik.Wait(20000));
    }
}
