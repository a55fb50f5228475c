#include "runner/RunMode.h"

#include <windows.h>

#include <cstring>

#include "runner/CommandFile.h"
#include "runner/RunArguments.h"
#include "runner/RunSettings.h"

const char kDialogNotShownReason[] = "the dialog could not be shown";

namespace {
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

RunChoice RunModeFor(const std::string& commandFile, const std::string& nobodyCanAnswerBecause) {
    RunChoice choice;
    std::string value;
    // A kit folder that cannot be named has no command file to ask.
    if (!commandFile.empty()) ReadFileValue(kCommandSection, CommandKey::Unattended, value, commandFile.c_str());
    SwitchValue unattended = ParseSwitch(value);
    if (unattended == SwitchValue::True) {
        choice.mode = RunMode::Unattended;
        choice.reason = std::string(CommandKey::Unattended) + "=TRUE";
        return choice;
    }
    if (unattended != SwitchValue::False && !nobodyCanAnswerBecause.empty()) {
        choice.mode = RunMode::Unattended;
        choice.reason = nobodyCanAnswerBecause;
        return choice;
    }
    if (!commandFile.empty()) ReadFileValue(kCommandSection, CommandKey::ShowDialog, value, commandFile.c_str());
    choice.mode = _stricmp(value.c_str(), "FALSE") == 0 ? RunMode::Silent : RunMode::Dialog;
    return choice;
}

RunChoice ChooseRunMode(const std::wstring& arguments) {
    std::string why;
    NobodyCanAnswer(why);
    AnsiPath kit = ParseRunArguments(arguments).kit;
    return RunModeFor(kit.IsRefused() ? std::string() : CommandFilePathFor(kit.Text()), why);
}
