// Path validation and normalisation: the bytes are two paths split at the first tab.
#include "FuzzInput.h"

#include "PATH.h"

namespace {

void Normalise(PathBase& p)
{
    DynamicString out;
    fuzz::Answer([&] { p.Validate(false, &out); });
    fuzz::Answer([&] { p.Validate(true, &out); });
    fuzz::Answer([&] { p.CollapseDotComponents(); });
    fuzz::Answer([&] { p.RemoveDoubleSeparators(); });
    fuzz::Answer([&] { p.RemoveTrailingSeparator(); });
    fuzz::Answer([&] { p.NormalizeDriveRoot(); });
    fuzz::Answer([&] { p.GetComponentCount(); });
    fuzz::Answer([&] { p.GetDepth(); });
    fuzz::Answer([&] { p.GetTopLevel(); });
    fuzz::Answer([&] { p.GetBaseName(out); });
    fuzz::Answer([&] { p.GetExtension(out); });
    fuzz::Answer([&] { p.HasExtension("ini"); });
    fuzz::Answer([&] { p.GetAbbreviatedName(20, out); });
    fuzz::Answer([&] { p.GetAbbreviatedName(3, out); });
    fuzz::Answer([&] { p.GetPrefix(2, out); });
    fuzz::Answer([&] { p.GetForwardSlashPath(); });
    fuzz::Answer([&] { p.ConvertForLongPathCalls(); });
    fuzz::Answer([&] {
        Path lead;
        p.GetLeadingComponents(2, lead);
    });
    fuzz::Answer([&] { p.SetExtension("txt"); });
    fuzz::Answer([&] { p.SetBaseName("name"); });
    fuzz::Answer([&] { p.AppendComponent("child"); });
    fuzz::Answer([&] { p.RemoveLastComponent(); });
    FUZZ_CHECK(fuzz::EndsOnWholeCharacter(p.GetText()));
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
