#include "runner/RunMode.h"

#include <windows.h>

#include <cstring>

#include "runner/CommandFile.h"
#include "runner/RunArguments.h"
#include "runner/RunSettings.h"

namespace {
const char kCommandSection[] = "CustomCommands";

// Wine gives WinSta0 the flag WSF_VISIBLE and a station made by CreateWindowStation none, as
// Windows does; its processes report session 1, never 0.
bool WindowStationVisible() {
    HWINSTA station = ::GetProcessWindowStation();  // borrowed: never closed
    if (!station) return true;
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (!::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool InSessionZero() {
    DWORD session = 0;
    return ::ProcessIdToSessionId(::GetCurrentProcessId(), &session) && session == 0;
}
}  // namespace

bool NobodyCanAnswer(std::string& why) {
    if (!WindowStationVisible()) {
        why = "the window station is not visible";
        return true;
    }
    if (InSessionZero()) {
        why = "session 0";
        return true;
    }
    why.clear();
    return false;
}

RunChoice ChooseRunMode(const std::wstring& arguments) {
    AnsiPath kit = ParseRunArguments(arguments).kit;
    std::string commandFile = kit.Text() + "\\Setup\\CustCmds.ini";
    RunChoice choice;
    std::string value;
    // A kit folder that cannot be named has no command file to ask; the run says so.
    if (!kit.IsRefused()) ReadFileValue(kCommandSection, "Unattended", value, commandFile.c_str());
    SwitchValue unattended = ParseSwitch(value);
    if (unattended == SwitchValue::True) {
        choice.mode = RunMode::Unattended;
        choice.reason = "Unattended=TRUE";
        return choice;
    }
    if (unattended != SwitchValue::False && NobodyCanAnswer(choice.reason)) {
        choice.mode = RunMode::Unattended;
        return choice;
    }
    if (!kit.IsRefused()) ReadFileValue(kCommandSection, "ShowDialog", value, commandFile.c_str());
    choice.mode = _stricmp(value.c_str(), "FALSE") == 0 ? RunMode::Silent : RunMode::Dialog;
    return choice;
}
