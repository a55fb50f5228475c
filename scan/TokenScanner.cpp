#include "scan/TokenScanner.h"

#include <climits>
#include <cstring>

#include "scan/CharScan.h"

// Cursor and lengths count bytes, and every search steps by character: the same unit for the
// cursor, the search for the closing mark and the cut-out word, and a trail byte equal to '|'
// (code page 932: "ポ" is 0x83 0x7C) is never taken for a field's bar. White space, digits and
// the minus sign are below every trail byte, so the byte tests that skip them stop on a
// character boundary.

namespace {
bool IsWhiteSpace(char c) { return c != '\0' && std::strchr(" \t\n\v\f\r", c) != nullptr; }
}  // namespace

std::string TokenScanner::Field(int k) const {
    if (k < 0) return std::string();
    size_t open = std::string::npos;
    size_t pos = 0;
    for (int bar = 0; bar <= k; ++bar) {
        open = FindCharacter(m_text, '|', pos);
        if (open == std::string::npos) return std::string();
        pos = open + 1;
    }
    size_t close = FindCharacter(m_text, '|', open + 1);
    if (close == std::string::npos) return std::string();
    return m_text.substr(open + 1, close - open - 1);
}

size_t TokenScanner::SkipWhiteSpace(size_t from) const {
    size_t i = from;
    while (i < m_text.size() && IsWhiteSpace(m_text[i])) ++i;
    return i - from;
}

int TokenScanner::NextNumber(bool& found) {
    found = false;
    if (m_cursor >= m_text.size()) return 0;
    size_t skipped = SkipWhiteSpace(m_cursor);
    size_t pos = m_cursor + skipped;
    if (pos >= m_text.size()) return 0;

    bool negative = false;
    if (m_text[pos] == '-') {
        negative = true;
        ++skipped;
        ++pos;
    }
    long long value = 0;
    size_t digits = 0;
    while (pos + digits < m_text.size() && m_text[pos + digits] >= '0' && m_text[pos + digits] <= '9') {
        if (value <= INT_MAX) value = value * 10 + (m_text[pos + digits] - '0');
        ++digits;
    }
    m_cursor += skipped + digits;
    if (digits == 0) return 0;
    found = true;
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string TokenScanner::NextWord() {
    if (m_cursor >= m_text.size()) return std::string();
    size_t start = m_cursor + SkipWhiteSpace(m_cursor);
    if (start < m_text.size() && m_text[start] == '"') {
        size_t close = FindCharacter(m_text, '"', start + 1);
        if (close == std::string::npos) {
            m_cursor = m_text.size();
            return m_text.substr(start + 1);
        }
        m_cursor = close + 1;
        return m_text.substr(start + 1, close - start - 1);
    }
    size_t blank = FindCharacter(m_text, ' ', start);
    if (blank == std::string::npos) {
        m_cursor = m_text.size();
        return m_text.substr(start);
    }
    m_cursor = blank;
    return m_text.substr(start, blank - start);
}

std::string TokenScanner::NextPathWord() {
    std::string word = NextWord();
    size_t bytes = 0;
    for (int chars = 0; chars < 260 && bytes < word.size(); ++chars) bytes += CharWidthAt(word, bytes);
    word.resize(bytes);
    return word;
}
