#include "checker/StructureCheck.h"

#include <string>
#include <vector>

namespace {
bool IsComment(const ProfileEntry& e) { return !e.key.empty() && e.key[0] == ';'; }

void Add(CheckReport& report, FindingCode code, int line, const std::string& key, const std::string& message) {
    report.Add(code, line, key, key.empty() ? message : key + ": " + message);
}

// A name as a finding shows it: each NUL as "\0", so that the text stays whole.
std::string Shown(const std::string& text) {
    std::string out;
    for (char c : text) out += c ? std::string(1, c) : std::string("\\0");
    return out;
}

bool HoldsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// The profile reader works on C strings: a name that holds a NUL is looked up only as far as the
// NUL, so what follows it in the file is never found under the name written.
void CheckNulBytes(const ProfileText& profile, CheckReport& report) {
    auto before = [](const std::string& text) { return text.substr(0, text.find('\0')); };
    for (const ProfileSection& s : profile.Sections()) {
        if (s.line > 0 && HoldsNul(s.name))
            Add(report, FindingCode::NulByte, s.line, "[" + Shown(s.name) + "]",
                "the section name holds a NUL byte: Sarnik's reader sees it as [" + before(s.name) +
                    "], so this section is not found by the name written");
        for (const ProfileEntry& e : s.entries) {
            if (HoldsNul(e.key))
                Add(report, FindingCode::NulByte, e.line, Shown(e.key),
                    "the key holds a NUL byte: Sarnik's reader sees it as " + before(e.key) +
                        ", so it is not found by the name written");
            else if (HoldsNul(e.value))
                Add(report, FindingCode::NulByte, e.line, e.key,
                    "the value holds a NUL byte: Sarnik reads \"" + before(e.value) + "\" and nothing after it");
        }
    }
}
}  // namespace

void CheckProfileStructure(const ProfileText& profile, CheckReport& report) {
    const std::vector<ProfileSection>& sections = profile.Sections();
    if (sections.empty()) return;
    CheckNulBytes(profile, report);
    for (const ProfileEntry& e : sections[0].entries)
        if (!IsComment(e))
            Add(report, FindingCode::OutsideSection, e.line, e.key,
                "this line stands before the first section header and is never read");
    for (size_t i = 1; i < sections.size(); ++i) {
        const ProfileSection& s = sections[i];
        // Looked up by the whole name: a NUL inside it must not make it a name never written.
        const ProfileSection* first = profile.FindSection(s.name);
        if (first && first != &s) {
            Add(report, FindingCode::DuplicateSection, s.line, "[" + s.name + "]",
                "the section is written again; only the first, " +
                    (first->line ? "at line " + std::to_string(first->line) : std::string("before the first header")) +
                    ", is read, and the keys below this header never are");
            continue;
        }
        for (const ProfileEntry& e : s.entries) {
            if (IsComment(e)) continue;
            const ProfileEntry* firstKey = profile.Find(s.name, e.key);
            if (firstKey && firstKey != &e)
                Add(report, FindingCode::DuplicateKey, e.line, e.key,
                    "the key is written again; only the first, at line " + std::to_string(firstKey->line) +
                        ", is read");
        }
    }
}
