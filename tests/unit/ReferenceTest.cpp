// docs/command-file.md against the program: its tables of [Strings] keys with their built-in
// texts and placeholders, of directory macros, and of the checker's finding codes must list
// exactly what the program has.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "checker/CheckReport.h"
#include "macros/DirectoryMacroTable.h"
#include "runner/CommandFile.h"
#include "support/TestSupport.h"

namespace {
// The rows of the first table under the heading that starts with heading, split into cells
// (trimmed, without the outer '|').
std::vector<std::vector<std::string>> TableUnder(const std::string& doc, const std::string& heading) {
    std::vector<std::vector<std::string>> rows;
    size_t at = doc.find("\n" + heading);
    if (at == std::string::npos) return rows;
    size_t next = doc.find("\n#", at + 1);
    std::string part = doc.substr(at, next == std::string::npos ? std::string::npos : next - at);
    bool header = true;
    size_t start = 0;
    while (start < part.size()) {
        size_t end = part.find('\n', start);
        if (end == std::string::npos) end = part.size();
        std::string line = part.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] != '|') {
            if (!rows.empty() || !header) break;
            continue;
        }
        if (header) {  // the column names and the separator line
            if (line.compare(0, 4, "|---") == 0) header = false;
            continue;
        }
        std::vector<std::string> cells;
        size_t cell = 1;
        for (size_t bar; (bar = line.find(" |", cell)) != std::string::npos; cell = bar + 2) {
            std::string text = line.substr(cell, bar - cell);
            size_t first = text.find_first_not_of(' ');
            cells.push_back(first == std::string::npos ? "" : text.substr(first));
        }
        rows.push_back(cells);
    }
    return rows;
}

// The text of the first code span of a cell, `...`.
std::string Code(const std::string& cell) {
    size_t open = cell.find('`');
    size_t close = open == std::string::npos ? std::string::npos : cell.find('`', open + 1);
    return close == std::string::npos ? "<no code span in: " + cell + ">" : cell.substr(open + 1, close - open - 1);
}

// The reference writes a line feed as \n.
std::string Unescaped(std::string text) {
    for (size_t at; (at = text.find("\\n")) != std::string::npos;) text.replace(at, 2, "\n");
    return text;
}

// "`%d` `%s` `%s`" -> "dss"; "none" -> "".
std::string Conversions(const std::string& cell) {
    std::string kinds;
    for (size_t at = cell.find("`%"); at != std::string::npos; at = cell.find("`%", at + 2)) kinds += cell[at + 2];
    return kinds;
}

std::string Reference() { return test::ReadFile(test::BinDir() + "\\command-file.md"); }
}  // namespace

TEST(Reference, StringsTableIsTheProgramsTable) {
    std::vector<std::vector<std::string>> rows = TableUnder(Reference(), "### [Strings]");
    ASSERT_EQ(rows.size(), kDisplayTextCount);
    for (size_t i = 0; i < rows.size(); ++i) {
        ASSERT_GE(rows[i].size(), 3u) << "row " << i;
        const DisplayTextEntry& entry = kDisplayTexts[i];
        EXPECT_EQ(Code(rows[i][0]), entry.key) << "row " << i;
        EXPECT_EQ(Unescaped(Code(rows[i][1])), entry.defaultText) << "row " << i << " " << entry.key;
        EXPECT_EQ(Conversions(rows[i][2]), entry.conversions) << "row " << i << " " << entry.key;
        // The program's own use of the text: the default always fits its own placeholders.
        EXPECT_TRUE(DisplayTextFits(entry.defaultText, entry.conversions)) << entry.key;
    }
}

TEST(Reference, CustomCommandsTableIsTheProgramsKeys) {
    // Every key of [CustomCommands] the program reads, in the program's order, and the commands.
    std::vector<std::vector<std::string>> rows = TableUnder(Reference(), "### [CustomCommands]");
    std::vector<std::string> documented, program(kSettingKeys, kSettingKeys + kSettingKeyCount);
    bool commands = false;
    for (const std::vector<std::string>& row : rows) {
        std::string key = Code(row.at(0));
        if (key == std::string(kCommandKeyPrefix) + "0") commands = true;
        else documented.push_back(key);
    }
    EXPECT_EQ(documented, program);
    EXPECT_TRUE(commands) << "the row of Commands_0, Commands_1, ...";
}

TEST(Reference, MacroTableListsEveryMacro) {
    std::vector<std::vector<std::string>> rows = TableUnder(Reference(), "## Directory macros");
    std::vector<std::string> documented, program(kDirectoryMacroNames, kDirectoryMacroNames + kDirectoryMacroNameCount);
    for (const std::vector<std::string>& row : rows) documented.push_back(Code(row.at(0)));
    EXPECT_EQ(documented, program);
}

TEST(Reference, FindingCodesAreTheCheckersCodes) {
    std::vector<std::vector<std::string>> rows = TableUnder(Reference(), "### Findings");
    ASSERT_EQ(rows.size(), kFindingKindCount);
    for (size_t i = 0; i < rows.size(); ++i) {
        ASSERT_GE(rows[i].size(), 3u) << "row " << i;
        const FindingKind& kind = kFindingKinds[i];
        EXPECT_EQ(Code(rows[i][0]), CodeText(kind.code)) << "row " << i;
        EXPECT_EQ(rows[i][1], kind.severity == Severity::Error ? "error" : "warning") << "row " << i;
    }
}

TEST(Reference, MacroNameListCoversTheTable) {
    // The list the checker and the reference use against the names a real table registers.
    DirectoryMacroTable table(DynamicString("C:\\Kit", true), DynamicString("C:\\Temp", true),
                              DynamicString("C:\\App", true), false);
    std::set<std::string> listed(kDirectoryMacroNames, kDirectoryMacroNames + kDirectoryMacroNameCount);
    EXPECT_EQ(listed.size(), kDirectoryMacroNameCount);
    ASSERT_GE(table.Count(), 15);
    for (int i = 0; i < table.Count(); ++i) EXPECT_EQ(listed.count(table.Name(i).GetString()), 1u) << table.Name(i).GetString();
}
