// The real sarnik.exe on a real kit whose custom commands start nested kits' setup programs: a
// marked kit's package really gets installed by msiexec, an unmarked kit's setup runs as written.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "support/KitPackage.h"
#include "support/TestSupport.h"

namespace {
// From tests/fixtures/nestedkit.wxs.
const char kProductCode[] = "{60EAB847-E8C9-48E3-B643-0E44CBACFC98}";
const char kInstallerKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer";

std::string SystemDirectory() {
    char dir[MAX_PATH];
    UINT n = GetSystemDirectoryA(dir, MAX_PATH);
    return std::string(dir, n);
}

std::string Upper(std::string s) {
    CharUpperBuffA(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

// Where the package puts its file, and its removal, so the shared prefix is left as found even
// when the test fails half-way.
class InstalledProduct {
public:
    InstalledProduct() {
        // The package is a 32-bit one (its files go to ProgramFilesFolder): on 64-bit Windows,
        // where the 64-bit program runs, that is the x86 folder, and only a 32-bit process finds it
        // under "ProgramFiles".
        char dir[MAX_PATH];
        DWORD n = GetEnvironmentVariableA(sizeof(void*) == 8 ? "ProgramFiles(x86)" : "ProgramFiles", dir, MAX_PATH);
        payload = std::string(dir, n) + "\\SarnikNestedKitTest\\payload.txt";
        Remove();
    }
    ~InstalledProduct() { Remove(); }
    void Remove() {
        test::Process msiexec(SystemDirectory() + "\\msiexec.exe", std::string("/x ") + kProductCode + " /q");
        msiexec.Wait(120000);
    }
    std::string payload;
};

TEST(NestedKitRun, MarkedKitIsInstalledByMsiexecUnmarkedKitRunsItsSetup) {
    InstalledProduct product;
    ASSERT_FALSE(test::FileExists(product.payload)) << "left from an earlier run: " << product.payload;

    // A kit made from the template: setup program, SETUP.INI, the package with the marker.
    test::TempFolder marked("marked-kit");
    ASSERT_TRUE(CopyFileA(test::BinPath("probe.exe").c_str(), (marked / "setup.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(test::BinPath("nestedkit.msi").c_str(), (marked / "product.msi").c_str(), FALSE));
    test::WriteFile(marked / "SETUP.INI", "[Installer]\r\nPackage=product.msi\r\n");
    // A kit whose package lacks the marker: its setup program (the probe) runs as written.
    test::TempFolder plain("plain-kit");
    ASSERT_TRUE(CopyFileA(test::BinPath("probe.exe").c_str(), (plain / "SETUP.EXE").c_str(), FALSE));
    ASSERT_EQ(test::WritePropertyPackage(plain / "product.msi", {{"ProductName", "Plain"}}), 0u);
    test::WriteFile(plain / "SETUP.INI", "[Installer]\r\nPackage=product.msi\r\n");
    const std::string started = plain / "started.txt";

    test::RegistryValueRestorer location(HKEY_LOCAL_MACHINE, kInstallerKey, "InstallerLocation");
    ASSERT_TRUE(location.SetString(SystemDirectory()));

    const std::string plainCommand = plain / "SETUP.EXE" + " cmdline " + started;
    test::Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=" + plainCommand + "\r\nCommands_1=" + (marked / "setup.exe") +
                       " /q\r\n");
    test::Process sarnik(test::BinPath("sarnik.exe"), kit.Args());
    ASSERT_TRUE(sarnik.Started());
    HWND dlg = test::WaitForWindow(sarnik.Id(), nullptr, "Command Progress", 20000);
    ASSERT_NE(dlg, nullptr);
    bool over = test::WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dlg, IDOK)) != FALSE; }, 300000);
    std::string log = test::WindowText(GetDlgItem(dlg, 1000));
    PostMessageA(dlg, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(sarnik.Wait(20000));
    ASSERT_TRUE(over) << "run not over; log so far:\n" << log;

    const std::string rewritten = "Invoking \"" + SystemDirectory() + "\\msiexec.exe\"  /i \"" + Upper(marked.Path()) +
                                  "\\product.msi\" /q";
    const std::vector<std::string> expected = {
        "Waiting for parent installer to complete...",
        "Parent installer complete.",
        "Invoking " + plainCommand,
        "Completed exit code:0",
        rewritten,
        "Completed exit code:0",
    };
    EXPECT_EQ(test::CrLfLines(log), expected) << log;

    EXPECT_TRUE(test::FileExists(product.payload)) << "msiexec did not install the package";
    std::vector<std::string> starts = test::ReadLines(started);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_NE(starts[0].find(plainCommand), std::string::npos) << starts[0];
    EXPECT_FALSE(test::FileExists(marked / "started.txt"));

    product.Remove();
    EXPECT_FALSE(test::FileExists(product.payload)) << "msiexec /x left the package's file";
}
}  // namespace
