// The command line: fields between bars, numbers and (path) words, as the worker scans them.
// The oracle: what the scanner yields, put back together with the marks it skipped, is the text
// it consumed; the character boundaries come from a model of the code page's own.
#include "FuzzInput.h"

#include <string>
#include <vector>

#include "scan/TokenScanner.h"

namespace {

// Where characters start: a lead byte takes the byte after it, unless that is the end or a NUL
// (a lead byte there is a character of its own).
std::vector<bool> CharacterStarts(const std::string& text)
{
    std::vector<bool> starts(text.size() + 1, false);
    size_t i = 0;
    while (i < text.size()) {
        starts[i] = true;
        bool pair = _ismbblead((unsigned char)text[i]) && i + 1 < text.size() && text[i + 1] != '\0';
        i += pair ? 2 : 1;
    }
    starts[text.size()] = true;
    return starts;
}

bool IsWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Whether c stands as a character of its own anywhere in text[from, to).
bool HasCharacter(const std::string& text, const std::vector<bool>& starts, char c, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        if (text[i] == c && starts[i] && starts[i + 1])
            return true;
    return false;
}

size_t SkipWhiteSpace(const std::string& text, size_t i)
{
    while (i < text.size() && IsWhiteSpace(text[i]))
        ++i;
    return i;
}

// The first n characters of word (a piece of text starting at a character boundary at).
std::string FirstCharacters(const std::string& word, const std::vector<bool>& starts, size_t at, size_t n)
{
    size_t end = 0, count = 0;
    while (end < word.size()) {
        if (starts[at + end] && count++ == n)
            break;
        ++end;
    }
    return word.substr(0, end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in = fuzz::Prepare(data, size);
    const std::string& text = in.bytes;
    const std::vector<bool> starts = CharacterStarts(text);

    // The fields, with bars between them and what stands before the first and after the last
    // bar, give the text back; no field holds a bar of its own.
    std::vector<size_t> bars;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '|' && starts[i] && starts[i + 1])
            bars.push_back(i);
    TokenScanner fields(text);
    FUZZ_CHECK(fields.Field(-1).empty());
    if (bars.size() >= 2) {
        std::string rebuilt = text.substr(0, bars.front() + 1);
        for (size_t k = 0; k + 1 < bars.size(); ++k) {
            std::string field = fields.Field((int)k);
            FUZZ_CHECK(!HasCharacter(field, CharacterStarts(field), '|', 0, field.size()));
            rebuilt += field + "|";
        }
        rebuilt += text.substr(bars.back() + 1);
        FUZZ_CHECK(rebuilt == text);
    }
    // A field without its closing bar is empty.
    FUZZ_CHECK(fields.Field(bars.empty() ? 0 : (int)bars.size() - 1).empty());

    // The worker's order: two numbers, then words to the end. Each step consumes white space and
    // then its token: a number's sign and digits, a word as written (with its quotation marks).
    TokenScanner s(text);
    size_t at = 0;
    for (int i = 0; i < 2; ++i) {
        bool found = true;
        int value = s.NextNumber(found);
        size_t end = s.Cursor();
        FUZZ_CHECK(end >= at && end <= text.size());
        if (end == at) {
            FUZZ_CHECK(!found && value == 0);
            continue;
        }
        size_t p = SkipWhiteSpace(text, at);
        bool negative = p < end && text[p] == '-';
        if (negative)
            ++p;
        long long expected = 0;
        for (size_t d = p; d < end; ++d) {
            FUZZ_CHECK(text[d] >= '0' && text[d] <= '9');
            if (expected <= 2147483648LL)
                expected = expected * 10 + (text[d] - '0');
        }
        FUZZ_CHECK(end == text.size() || text[end] < '0' || text[end] > '9');  // the longest run
        FUZZ_CHECK(found == (end > p));
        if (negative)
            expected = -expected;
        expected = expected > 2147483647LL ? 2147483647LL : expected < -2147483648LL ? -2147483648LL : expected;
        FUZZ_CHECK(value == (found ? (int)expected : 0));
        at = end;
    }
    for (size_t step = 0; at < text.size(); ++step) {
        FUZZ_CHECK(step <= text.size());
        bool path = step & 1;
        std::string word = path ? s.NextPathWord() : s.NextWord();
        size_t end = s.Cursor();
        FUZZ_CHECK(end > at && end <= text.size() && starts[end]);
        size_t p = SkipWhiteSpace(text, at);
        std::string written;  // the word as the text holds it, before any cut
        if (p < end && text[p] == '"') {
            bool closed = end - p >= 2 && text[end - 1] == '"' && starts[end - 1];
            written = text.substr(p + 1, end - p - 1 - (closed ? 1 : 0));
            FUZZ_CHECK(closed || end == text.size());
            FUZZ_CHECK(!HasCharacter(text, starts, '"', p + 1, closed ? end - 1 : end));
        } else {
            written = text.substr(p, end - p);
            FUZZ_CHECK(end == text.size() || (text[end] == ' ' && starts[end + 1]));
            FUZZ_CHECK(!HasCharacter(text, starts, ' ', p, end));
        }
        // A path word is the word's first 260 characters.
        FUZZ_CHECK(word == (path ? FirstCharacters(written, starts, p + (text[p] == '"' ? 1 : 0), 260) : written));
        at = end;
    }
    FUZZ_CHECK(s.NextWord().empty() && s.Cursor() == text.size());
    return 0;
}
