#include "checker/CheckReport.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace {
const char* SeverityText(Severity s) { return s == Severity::Error ? "error" : "warning"; }

// The JSON library takes UTF-8 only; the kit's texts are in the ANSI code page.
std::string Utf8(const std::string& ansi) {
    if (ansi.empty()) return ansi;
    int n = ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], n);
    int m = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(m), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &out[0], m, nullptr, nullptr);
    return out;
}

std::string Plural(size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}
}  // namespace

void CheckReport::Add(Severity severity, FindingCode code, int line, const std::string& key,
                      const std::string& message) {
    Finding f;
    f.severity = severity;
    f.code = code;
    f.line = line;
    f.key = key;
    f.message = message;
    findings.push_back(f);
}

int CheckReport::ExitCode() const {
    if (!readable) return 3;
    bool warnings = false;
    for (const Finding& f : findings) {
        if (f.severity == Severity::Error) return 2;
        warnings = true;
    }
    return warnings ? 1 : 0;
}

void CheckReport::SortFindings() {
    std::stable_sort(findings.begin(), findings.end(),
                     [](const Finding& a, const Finding& b) { return a.line < b.line; });
}

std::string CodeText(FindingCode code) {
    char text[16];
    std::snprintf(text, sizeof text, "SC%04d", static_cast<int>(code));
    return text;
}

std::string FindingLine(const std::string& file, const Finding& f) {
    std::string place = file;
    if (f.line > 0) place += "(" + std::to_string(f.line) + ")";
    return place + ": " + SeverityText(f.severity) + " " + CodeText(f.code) + ": " + f.message;
}

std::string ReportText(const CheckReport& report) {
    std::string out;
    auto line = [&out](const std::string& text) { out += text + "\n"; };
    if (report.readable) {
        line("Command file: " + report.commandFile);
        line(report.silent ? "Mode: silent (ShowDialog=" + report.showDialogValue + ")"
                           : "Mode: the \"Command Progress\" dialog");
        line(report.rebootAsked ? "Reboot: asked at the end (Reboot=TRUE)"
                                : "Reboot: not asked by the command file (the parent installer may ask for it)");
        for (const std::string& note : report.plainNotes) line(note);
        line("Commands: " + std::to_string(report.commands.size()));
        for (const PlannedCommand& c : report.commands) {
            line("  " + c.key + " (line " + std::to_string(c.line) + ")");
            line("    written: " + c.written);
            line("    started: " + c.started);
            if (!c.nestedKitPackage.empty())
                line("    nested kit: its package " + c.nestedKitPackage + " is installed by the Windows Installer");
            if (c.setupEngine)
                line("    setup engine: Sarnik waits until it has taken its mutex, then until it is free again");
            line("    then: waits for the process, for the Windows Installer (at most 30 s) and for the setup engine");
        }
    }
    size_t errors = 0, warnings = 0;
    for (const Finding& f : report.findings) {
        line(FindingLine(report.commandFile, f));
        (f.severity == Severity::Error ? errors : warnings)++;
    }
    line(Plural(errors, "error") + ", " + Plural(warnings, "warning"));
    return out;
}

std::string ReportJson(const CheckReport& report, const std::string& version) {
    using nlohmann::ordered_json;
    ordered_json doc;
    doc["checker"] = "sarnikcheck";
    doc["version"] = version;
    doc["commandFile"] = Utf8(report.commandFile);
    doc["readable"] = report.readable;
    doc["exitCode"] = report.ExitCode();
    ordered_json plan;
    plan["silent"] = report.silent;
    plan["rebootAsked"] = report.rebootAsked;
    ordered_json notes = ordered_json::array();
    for (const std::string& note : report.plainNotes) notes.push_back(Utf8(note));
    plan["notes"] = notes;
    ordered_json commands = ordered_json::array();
    for (const PlannedCommand& c : report.commands) {
        ordered_json entry;
        entry["key"] = c.key;
        entry["line"] = c.line;
        entry["written"] = Utf8(c.written);
        entry["started"] = Utf8(c.started);
        entry["programFound"] = c.programFound;
        entry["setupEngine"] = c.setupEngine;
        entry["nestedKitPackage"] = c.nestedKitPackage.empty() ? ordered_json() : ordered_json(Utf8(c.nestedKitPackage));
        commands.push_back(entry);
    }
    plan["commands"] = commands;
    doc["plan"] = plan;
    ordered_json findings = ordered_json::array();
    for (const Finding& f : report.findings) {
        ordered_json entry;
        entry["file"] = Utf8(report.commandFile);
        entry["line"] = f.line;
        entry["severity"] = SeverityText(f.severity);
        entry["code"] = CodeText(f.code);
        entry["key"] = Utf8(f.key);
        entry["message"] = Utf8(f.message);
        findings.push_back(entry);
    }
    doc["findings"] = findings;
    return doc.dump(2) + "\n";
}
