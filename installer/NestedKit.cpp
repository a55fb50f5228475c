#include "installer/NestedKit.h"

// Kit detection needs the package reader and the registry lookup of the framework; until they
// are in place every command runs as written.
void RewriteNestedKitCommand(std::string&) {}
