#include "scan/CharScan.h"

#include <mbctype.h>

#include <cstring>

size_t CharWidthAt(const std::string& text, size_t i) {
    // A lead byte before a NUL is not the start of a pair: the NUL would be swallowed.
    if (i + 1 < text.size() && text[i + 1] != '\0' && _ismbblead(static_cast<unsigned char>(text[i]))) return 2;
    return 1;
}

size_t FindCharacter(const std::string& text, char c, size_t from) {
    for (size_t i = from; i < text.size(); i += CharWidthAt(text, i))
        if (text[i] == c && CharWidthAt(text, i) == 1) return i;
    return std::string::npos;
}

size_t FindText(const std::string& text, const std::string& pattern, size_t from) {
    if (pattern.empty()) return std::string::npos;
    for (size_t i = from; i < text.size() && text.size() - i >= pattern.size(); i += CharWidthAt(text, i)) {
        if (std::memcmp(text.data() + i, pattern.data(), pattern.size()) != 0) continue;
        // The match must end on a boundary too: a pattern that ends in a lone lead byte would
        // otherwise take the lead byte of a character of text and leave its trail byte behind.
        size_t end = i;
        while (end < i + pattern.size()) end += CharWidthAt(text, end);
        if (end == i + pattern.size()) return i;
    }
    return std::string::npos;
}

std::string ReplaceAllText(const std::string& text, const std::string& pattern, const std::string& with) {
    if (pattern.empty()) return text;
    std::string out;
    size_t from = 0;
    for (size_t at; (at = FindText(text, pattern, from)) != std::string::npos; from = at + pattern.size())
        out.append(text, from, at - from).append(with);
    return out.append(text, from, std::string::npos);
}
