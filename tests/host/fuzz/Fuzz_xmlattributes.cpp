// The XML attribute-list text form: a start tag's attributes taken by every typed read, then
// elements read by every typed read.
#include "FuzzInput.h"

#include "QvStreams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in = fuzz::Prepare(data, size);
    QvXmlMemoryStream s;
    fuzz::Answer([&] {
        s.WriteBytes(in.bytes.data(), (uint32_t)in.bytes.size());
        s.SetOffset(0);
    });

    QvXmlAttributeList list;
    if (fuzz::Answer([&] { s.ReadStartTag("E", list); })) {
        DynamicString text;
        fuzz::Answer([&] { list.ReadString("s", text); });
        fuzz::Answer([&] { list.ReadInt("i"); });
        fuzz::Answer([&] { list.ReadUInt("u"); });
        fuzz::Answer([&] { list.ReadDouble("d"); });
        fuzz::Answer([&] { list.ReadBool("b"); });
        fuzz::Answer([&] { list.ReadInt64("l"); });
        fuzz::Answer([&] { list.ReadUInt64("m"); });
        fuzz::Answer([&] { list.ThrowIfAttributesLeft(); });
        if (!s.IsEmptyElement())
            fuzz::Answer([&] { s.ReadEndTag("E"); });
    }

    // Element reads, each from where the last one left off.
    for (int round = 0; round < 2; ++round) {
        DynamicString text;
        StaticString<16> shortText;
        fuzz::Answer([&] { s.ReadString("S", text); });
        fuzz::Answer([&] { s.ReadString("T", shortText); });
        fuzz::Answer([&] { s.ReadInt("I"); });
        fuzz::Answer([&] { s.ReadUInt("U"); });
        fuzz::Answer([&] { s.ReadDouble("D"); });
        fuzz::Answer([&] { s.ReadBool("B"); });
        fuzz::Answer([&] { s.ReadInt64("L"); });
        fuzz::Answer([&] { s.ReadUInt64("M"); });
        fuzz::Answer([&] { s.ReadString("", text); });
        FUZZ_CHECK(s.GetOffset() <= s.GetSize());
    }
    return 0;
}
