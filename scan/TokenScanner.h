// Scans the program's command line and a command's program word: '|'-delimited fields,
// optionally signed decimal numbers and blank-delimited or double-quoted words.
#pragma once

#include <string>

class TokenScanner {
public:
    explicit TokenScanner(std::string text) : m_text(std::move(text)) {}

    // The text strictly between the (k+1)-th and (k+2)-th '|'; empty when either is missing.
    // Neither uses nor moves the cursor.
    std::string Field(int k) const;

    // The next optionally signed decimal number after white space; found tells whether digits
    // followed. A run that does not fit 32 bits saturates at INT_MIN or INT_MAX.
    int NextNumber(bool& found);

    // The next word: up to the next blank, or between double quotation marks.
    std::string NextWord();

    // NextWord cut to its first 260 characters.
    std::string NextPathWord();

    size_t Cursor() const { return m_cursor; }

private:
    // Advances past white space from the cursor; returns the number of bytes skipped.
    size_t SkipWhiteSpace(size_t from) const;

    std::string m_text;
    size_t m_cursor = 0;
};
