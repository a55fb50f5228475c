#include "checker/StructureCheck.h"

#include <string>
#include <vector>

namespace {
bool IsComment(const ProfileEntry& e) { return !e.key.empty() && e.key[0] == ';'; }

void Add(CheckReport& report, FindingCode code, int line, const std::string& key, const std::string& message) {
    report.Add(code, line, key, key.empty() ? message : key + ": " + message);
}
}  // namespace

void CheckProfileStructure(const ProfileText& profile, CheckReport& report) {
    const std::vector<ProfileSection>& sections = profile.Sections();
    if (sections.empty()) return;
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
