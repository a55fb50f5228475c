// Scanning ANSI text character by character in the runtime's multibyte code page (the process's
// ANSI code page, or the page a test set with _setmbcp). On double-byte pages such as 932 a trail
// byte may equal '\\' (0x5C, "表" 0x95 0x5C) or '|' (0x7C, "ポ" 0x83 0x7C), and a byte search
// would also match a text from the middle of a character; these operations never do.
//
// Positions are byte offsets that always stand on a character boundary. A lead byte with
// nothing after it (the very end of a text) counts as a character of its own.
#pragma once

#include <string>

// Bytes of the character that starts at byte i of text: 2 for a lead byte and its trail byte,
// else 1.
size_t CharWidthAt(const std::string& text, size_t i);

// The first position at or after from (a character boundary) where c stands as a character of
// its own, or npos.
size_t FindCharacter(const std::string& text, char c, size_t from = 0);

// The first position at or after from (a character boundary) where pattern starts, such that
// the match begins and ends on character boundaries of text; npos when there is none or
// pattern is empty.
size_t FindText(const std::string& text, const std::string& pattern, size_t from = 0);

// Every occurrence of pattern, found as FindText finds it, left to right and without overlaps,
// replaced by with; the inserted text is not searched again. Case-sensitive.
std::string ReplaceAllText(const std::string& text, const std::string& pattern, const std::string& with);
