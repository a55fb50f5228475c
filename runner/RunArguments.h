// The parent installer's command line, taken wide and split on the wide text.
//
// The ANSI command line is converted with best fit: a folder named "evil｜kit" (U+FF5C) arrives
// there as "evil|kit", one field more, and the kit read is another folder's. Split on the wide
// text, a field holds every character up to the next real '|'; each field then becomes ANSI
// exactly, by its short name, or not at all (AnsiText).
#pragma once

#include <string>

#include "AnsiText.h"

struct RunArguments {
    int parentId = 0;
    bool parentFound = false;  // a number stood first
    int reboot = 0;            // the second number (0 when none)
    // Fields 0, 1 and 2: the kit folder, the temporary folder and the installation folder. An
    // empty field is an exact empty path.
    AnsiPath kit, temp, install;
};

// The text strictly between the (k+1)-th and (k+2)-th '|' of text; empty when either is missing.
std::wstring WideField(const std::wstring& text, int k);

// Reads the two numbers before the first '|' and the three fields.
RunArguments ParseRunArguments(const std::wstring& arguments);
