// The command line: fields between bars, numbers and (path) words, as the worker scans them.
#include "FuzzInput.h"

#include "scan/TokenScanner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in = fuzz::Prepare(data, size);
    const std::string& text = in.bytes;

    TokenScanner fields(text);
    for (int k = -1; k < 5; ++k) {
        std::string field = fields.Field(k);
        FUZZ_CHECK(field.size() <= text.size());
        FUZZ_CHECK(text.find(field) != std::string::npos);
    }
    FUZZ_CHECK(fields.Cursor() == 0);

    // The worker's order: two numbers, then words to the end. Every step moves forward or ends.
    TokenScanner s(text);
    bool found = true;
    for (int i = 0; i < 2; ++i)
        s.NextNumber(found);
    size_t last = s.Cursor();
    for (size_t step = 0; step <= text.size() + 1; ++step) {
        TokenScanner peek = s;
        std::string whole = peek.NextWord();
        std::string word = (step & 1) ? s.NextPathWord() : s.NextWord();
        FUZZ_CHECK(s.Cursor() <= text.size());
        FUZZ_CHECK(s.Cursor() == peek.Cursor());
        FUZZ_CHECK(whole.compare(0, word.size(), word) == 0);
        // A path word is the word's first 260 characters: a cut never splits a character. A lead
        // byte before a NUL is a character of its own, so a cut just before a NUL may end in one.
        if (word.size() < whole.size())
            FUZZ_CHECK(fuzz::EndsOnWholeCharacter(word.c_str()) || word.find('\0') != std::string::npos ||
                       whole[word.size()] == '\0');
        if (s.Cursor() == last && word.empty())
            break;
        last = s.Cursor();
    }
    return 0;
}
