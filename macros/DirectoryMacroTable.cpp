#include "macros/DirectoryMacroTable.h"

// The table is filled when the directory sources of the framework are in place; until then
// no macro is known and every command runs as written.
DirectoryMacroTable::DirectoryMacroTable(std::string, std::string, std::string) {}

int DirectoryMacroTable::ExpandMacros(std::string&) const { return 0; }
