// Checks a kit's command file the way a run of sarnik.exe would read and prepare it, without
// starting a command and without writing anything.
#pragma once

#include <string>

#include "AnsiText.h"
#include "checker/CheckReport.h"

// The three fields of Sarnik's command line, made ANSI as the run makes them (exactly, by their
// short names, or refused).
struct KitCheckInput {
    AnsiPath kit;      // field 0
    AnsiPath temp;     // field 1 (may be empty)
    AnsiPath install;  // field 2 (may be empty)
};

// The plan and the findings. Uses the program's own readers (the command file's base directory
// is set to kitDir), its macro table, program search, nested-kit and setup-engine recognition.
CheckReport CheckKit(const KitCheckInput& input);

// The longest command line CreateProcessA takes, without its terminator.
const size_t kMaxCommandLine = 32766;
// The longest command line the command interpreter takes, which runs a .bat or .cmd program.
const size_t kMaxInterpreterLine = 8191;
