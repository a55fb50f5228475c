// The findings about a command file's layout that the profile reader hides: lines before the
// first section header, sections and keys written twice. Apart from the rest of the check so
// that the file's bytes alone decide them (the host build fuzzes the reader and this check).
#pragma once

#include "checker/CheckReport.h"
#include "checker/ProfileText.h"

void CheckProfileStructure(const ProfileText& profile, CheckReport& report);
