// Path validation and normalisation: the bytes are two paths split at the first tab. The oracle:
// every operation's result is whole characters, a path tidied stays valid, and a trailing
// separator, an abbreviation and a prefix are what a model of the path's characters says.
#include "FuzzInput.h"

#include <ctype.h>

#include <string>

#include "PATH.h"

namespace {

// Whether byte n of text (a terminated text) is where a character starts, or its end.
bool AtBoundary(const char* text, size_t n)
{
    size_t i = 0;
    while (i < n && text[i])
        i += (_ismbblead((unsigned char)text[i]) && text[i + 1]) ? 2 : 1;
    return i == n;
}

bool EndsWithSeparatorCharacter(const std::string& text)
{
    return !text.empty() && text.back() == '\\' && AtBoundary(text.c_str(), text.size() - 1);
}

// A text that is a path operation's result: whole characters (when it had them before), and, for the operations that only
// tidy a path, a valid path stays valid.
void CheckResult(const char* operation, const std::string& before, bool validBefore, const PathBase& p, bool tidies)
{
    // A text that already ends in half a character (the input's) may keep it.
    bool broken = fuzz::EndsOnWholeCharacter(before.c_str()) && !fuzz::EndsOnWholeCharacter(p.GetText());
    // "." and ".\\." collapse to the empty path, which stands for the current folder.
    bool invalid = tidies && validBefore && *p.GetText() && !p.Validate(false, nullptr);
    if (broken || invalid) {
        fprintf(stderr, "%s: '%s' became '%s'\n", operation, before.c_str(), p.GetText());
        FUZZ_CHECK(!"a path operation broke a character or a valid path");
    }
}

void Normalise(PathBase& p)
{
    DynamicString out;
    fuzz::Answer([&] { p.Validate(false, &out); });
    fuzz::Answer([&] { p.Validate(true, &out); });
    // Each operation on the path as the previous one left it.
    auto apply = [&](const char* operation, bool tidies, auto f) {
        std::string before = p.GetText();
        bool valid = p.Validate(false, nullptr);
        if (fuzz::Answer(f))
            CheckResult(operation, before, valid, p, tidies);
        return before;
    };
    apply("CollapseDotComponents", true, [&] { p.CollapseDotComponents(); });
    apply("RemoveDoubleSeparators", true, [&] { p.RemoveDoubleSeparators(); });
    {
        // One final separator goes, as a character of its own; the roots X:\ and \ keep theirs.
        std::string before = apply("RemoveTrailingSeparator", true, [&] { p.RemoveTrailingSeparator(); });
        bool root = before == "\\" || (before.size() == 3 && before[1] == ':' && before[2] == '\\' &&
                                        isalpha((unsigned char)before[0]));
        std::string expected = EndsWithSeparatorCharacter(before) && !root ? before.substr(0, before.size() - 1) : before;
        FUZZ_CHECK(p.GetText() == expected);
    }
    apply("NormalizeDriveRoot", true, [&] { p.NormalizeDriveRoot(); });
    fuzz::Answer([&] { p.GetComponentCount(); });
    fuzz::Answer([&] { p.GetDepth(); });
    fuzz::Answer([&] { p.GetTopLevel(); });
    const std::string text = p.GetText();
    const bool whole = fuzz::EndsOnWholeCharacter(text.c_str());
    fuzz::Answer([&] {
        p.GetBaseName(out);
        FUZZ_CHECK(!whole || fuzz::EndsOnWholeCharacter(out.GetString()));
    });
    fuzz::Answer([&] {
        p.GetExtension(out);
        FUZZ_CHECK(!whole || fuzz::EndsOnWholeCharacter(out.GetString()));
    });
    fuzz::Answer([&] { p.HasExtension("ini"); });
    // An abbreviation is the whole path, or a tail of it after a cut at a character boundary
    // (behind the root and "...\", or alone).
    for (int maximum : {20, 3}) {
        fuzz::Answer([&] {
            p.GetAbbreviatedName(maximum, out);
            std::string shown = out.GetString();
            FUZZ_CHECK(!whole || fuzz::EndsOnWholeCharacter(shown.c_str()));
            auto isTail = [&](const std::string& tail) {
                return tail.size() <= text.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0 &&
                       AtBoundary(text.c_str(), text.size() - tail.size());
            };
            // The path may hold "...\\" itself: some "...\\" must stand between a start and a tail.
            bool shape = isTail(shown);
            for (size_t dots = shown.find("...\\"); !shape && dots != std::string::npos; dots = shown.find("...\\", dots + 1))
                shape = text.compare(0, dots, shown, 0, dots) == 0 && isTail(shown.substr(dots + 4));
            FUZZ_CHECK(shape);
        });
    }
    // A prefix is the path's own start, cut at a character boundary.
    for (int count : {1, 2}) {
        fuzz::Answer([&] {
            p.GetPrefix(count, out);
            std::string prefix = out.GetString();
            FUZZ_CHECK(text.compare(0, prefix.size(), prefix) == 0 && AtBoundary(text.c_str(), prefix.size()));
        });
    }
    fuzz::Answer([&] { p.GetForwardSlashPath(); });
    fuzz::Answer([&] { p.ConvertForLongPathCalls(); });
    fuzz::Answer([&] {
        Path lead;
        p.GetLeadingComponents(2, lead);
        FUZZ_CHECK(!whole || fuzz::EndsOnWholeCharacter(lead.GetText()));
    });
    apply("SetExtension", false, [&] { p.SetExtension("txt"); });
    apply("SetBaseName", false, [&] { p.SetBaseName("name"); });
    apply("AppendComponent", false, [&] { p.AppendComponent("child"); });
    apply("RemoveLastComponent", false, [&] { p.RemoveLastComponent(); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in = fuzz::Prepare(data, size);
    std::string first = in.Text(), second;
    size_t tab = first.find('\t');
    if (tab != std::string::npos) {
        second = first.substr(tab + 1);
        first.resize(tab);
    }

    IsValidPath(first.c_str(), 0);
    IsValidPath(first.c_str(), 1);

    DynamicPath a, b;
    Path fixed;
    bool haveA = fuzz::Answer([&] { a.SetPath(first.c_str()); });
    bool haveB = fuzz::Answer([&] { b.SetPath(second.c_str()); });
    fuzz::Answer([&] { fixed.SetPath(first.c_str()); });
    if (haveA && haveB) {
        DynamicString out;
        fuzz::Answer([&] { a.MakeRelativeTo(b, out); });
        fuzz::Answer([&] { a.IsParentOf(b, true); });
        fuzz::Answer([&] { b.IsTailOf(a); });
        fuzz::Answer([&] { a.EndsWithComponentsOf(b); });
        fuzz::Answer([&] { a.AppendComponent(b.GetString()); });
    }
    Normalise(a);
    Normalise(fixed);
    return 0;
}
