// Streams: byte layouts, offsets and truncation, string tables, file streams with retry while a
// file is held by another process.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "ErrorTables.h"
#include "KEException.h"
#include "PATH.h"
#include "QvStreams.h"
#include "support/TestSupport.h"
#include "unit/kefwk/FrameworkTestSupport.h"

namespace {

using kefwktest::Raised;

std::vector<unsigned char> Bytes(const QvMemoryStream& s)
{
    return std::vector<unsigned char>(s.GetData(), s.GetData() + s.GetSize());
}

TEST(Streams, ByteLayouts)
{
    struct Case { const char* what; void (*write)(QvStream&); std::vector<unsigned char> bytes; };
    const Case cases[] = {
        {"int 1", [](QvStream& s) { s.WriteInt("i", 1); }, {1, 0, 0, 0}},
        {"int -2", [](QvStream& s) { s.WriteInt("i", -2); }, {0xFE, 0xFF, 0xFF, 0xFF}},
        {"uint", [](QvStream& s) { s.WriteUInt("u", 0x01020304); }, {4, 3, 2, 1}},
        {"double 1.0", [](QvStream& s) { s.WriteDouble("d", 1.0); }, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {"bools", [](QvStream& s) { s.WriteBool("b", true); s.WriteBool("b", false); }, {1, 0}},
        {"int64", [](QvStream& s) { s.WriteInt64("l", -1); }, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"uint64", [](QvStream& s) { s.WriteUInt64("l", 0x0102030405060708ULL); }, {8, 7, 6, 5, 4, 3, 2, 1}},
        {"text", [](QvStream& s) { s.WriteString("t", DynamicString("ab"), false, false); }, {'a', 'b', 0}},
        {"empty text", [](QvStream& s) { s.WriteString("t", DynamicString(""), false, false); }, {0}},
    };
    test::TempFolder tmp("streams");
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        QvMemoryStream memory;
        cases[i].write(memory);
        EXPECT_EQ(cases[i].bytes, Bytes(memory)) << "row " << i << " " << cases[i].what;
        // The file stream writes the same bytes.
        std::string file = tmp / ("row" + std::to_string(i));
        {
            QvBinaryFileStream out(file.c_str(), 0.0, QV_STREAM_WRITE_EMPTIED);
            cases[i].write(out);
        }
        std::string content = test::ReadFile(file);
        EXPECT_EQ(std::string(cases[i].bytes.begin(), cases[i].bytes.end()), content) << "row " << i;
    }
    // Any non-zero byte reads as true.
    QvMemoryStream s;
    unsigned char seven = 7;
    s.WriteBytes(&seven, 1);
    s.SetOffset(0);
    EXPECT_TRUE(s.ReadBool("b"));
}

TEST(Streams, MemoryRoundTripAndReadRules)
{
    QvMemoryStream s;
    s.WriteInt("a", -5);
    s.WriteDouble("b", 2.5);
    s.WriteString("c", DynamicString("text"), false, false);
    s.WriteUInt64("d", 1ULL << 40);
    s.SetOffset(0);
    DynamicString text;
    EXPECT_EQ(-5, s.ReadInt("a"));
    EXPECT_EQ(2.5, s.ReadDouble("b"));
    EXPECT_TRUE(s.ReadString("c", text));
    EXPECT_STREQ("text", text.GetString());
    EXPECT_EQ(1ULL << 40, s.ReadUInt64("d"));

    // A value that does not fit: KE_BAD_FILE_FORMAT and the offset stays.
    QvMemoryStream three;
    three.WriteBytes("abc", 3);
    three.SetOffset(0);
    KEException e = Raised([&] { three.ReadInt("x"); });
    EXPECT_EQ(KE_BAD_FILE_FORMAT, e.GetErrorCode());
    EXPECT_STREQ("QvMemoryStream::ReadInt", e.GetFunction());
    EXPECT_EQ(0u, three.GetOffset());
    char buffer[8];
    EXPECT_EQ(KE_BAD_FILE_FORMAT, Raised([&] { three.ReadBytes(buffer, 4, KE_BAD_FILE_FORMAT); }).GetErrorCode());
    EXPECT_EQ(3u, three.ReadBytes(buffer, 8, 0));
    three.SetOffset(10);
    EXPECT_EQ(0u, three.ReadBytes(buffer, 4, 0));
    // A text without its NUL is damaged.
    three.SetOffset(0);
    EXPECT_EQ(KE_BAD_FILE_FORMAT, Raised([&] { three.ReadString("t", text); }).GetErrorCode());
}

TEST(Streams, TruncationAndOffsets)
{
    QvMemoryStream s;
    s.WriteBytes("12345", 5);
    s.SetOffset(2);
    s.TruncateAtCurrentOffset();
    EXPECT_EQ(2u, s.GetSize());
    s.SetOffset(7);
    EXPECT_EQ(KE_PROGRAM_ERROR, Raised([&] { s.TruncateAtCurrentOffset(); }).GetErrorCode());
    // Writing past the end fills the gap with zeros.
    s.WriteBytes("x", 1);
    EXPECT_EQ((std::vector<unsigned char>{'1', '2', 0, 0, 0, 0, 0, 'x'}), Bytes(s));

    QvMemoryStream copy;
    copy.WriteStream(s, 1, 100);
    EXPECT_EQ((std::vector<unsigned char>{'2', 0, 0, 0, 0, 0, 'x'}), Bytes(copy));
    EXPECT_EQ(KE_PROGRAM_ERROR, Raised([&] { copy.WriteStream(s, 9, 1); }).GetErrorCode());
    // A stream may copy from itself while it grows.
    copy.WriteStream(copy, 0, 7);
    EXPECT_EQ(14u, copy.GetSize());
    EXPECT_EQ('x', copy.GetData()[13]);
}

// Texts come back exactly as written under both code pages: double-byte characters whose trail
// byte is '\\' ("表") or '|' ("ポ"), and a lead byte at the very end of a text, which is not a
// character but is part of the text.
class StreamCodePage : public kefwktest::CodePageTest {};

TEST_P(StreamCodePage, TextsComeBackByteForByte)
{
    const char* texts[] = {"x\x95\x5c", "\x83\x7c|", "\x82", "ab\x82", "\x95\x5c\\\x83", "", "plain"};
    test::TempFolder tmp("streamtexts");
    std::string file = tmp / "texts.bin";
    QvStringTable table;
    QvMemoryStream raw, indexed;
    indexed.SetStringTable(&table);
    {
        QvBinaryFileStream out(file.c_str(), 1.0, QV_STREAM_WRITE_EMPTIED);
        for (const char* t : texts) {
            raw.WriteString("t", DynamicString(t), false, false);
            indexed.WriteString("t", DynamicString(t), false, false);
            out.WriteString("t", DynamicString(t), false, false);
        }
    }
    raw.SetOffset(0);
    indexed.SetOffset(0);
    QvBinaryFileStream in(file.c_str(), 1.0);
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        QvStream* streams[] = {&raw, &indexed, &in};
        for (size_t k = 0; k < 3; ++k) {
            DynamicString back("junk");
            streams[k]->ReadString("t", back);
            EXPECT_EQ(kefwktest::Show(texts[i]), kefwktest::Show(back.GetString())) << "row " << i << " stream " << k;
            EXPECT_EQ(back.GetSize(), int(strlen(texts[i])) + 1) << "row " << i << " stream " << k;
        }
    }
    // A fixed-capacity target keeps whole characters only.
    QvMemoryStream cut;
    cut.WriteString("t", DynamicString("abc\x95\x5c"), false, false);
    cut.SetOffset(0);
    StaticString<4> small;
    cut.ReadString("t", small);
    EXPECT_EQ(kefwktest::Show(small.GetString()), kefwktest::Show(Dbcs() ? "abc" : "abc\x95"));
}

INSTANTIATE_TEST_SUITE_P(, StreamCodePage, ::testing::Values(0, 932), kefwktest::CodePageName);

TEST(Streams, StringTableRoundTrip)
{
    QvStringTable table;
    QvMemoryStream s;
    s.SetStringTable(&table);
    const char* texts[] = {"alpha", "", "beta", "alpha", "a", "a much longer text than eight bytes", "beta"};
    for (const char* t : texts)
        s.WriteString("t", DynamicString(t), false, false);
    EXPECT_EQ(7u * 4, s.GetSize());
    EXPECT_EQ(4, table.GetCount());
    std::vector<unsigned char> bytes = Bytes(s);
    // The empty text is -1; "alpha" written twice is index 0 both times.
    EXPECT_EQ((std::vector<unsigned char>{0xFF, 0xFF, 0xFF, 0xFF}), std::vector<unsigned char>(bytes.begin() + 4, bytes.begin() + 8));
    EXPECT_EQ((std::vector<unsigned char>{0, 0, 0, 0}), std::vector<unsigned char>(bytes.begin() + 12, bytes.begin() + 16));
    s.SetOffset(0);
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        DynamicString back("junk");
        s.ReadString("t", back);
        EXPECT_STREQ(texts[i], back.GetString()) << "row " << i;
    }
    EXPECT_EQ(KE_BAD_FILE_FORMAT, Raised([&] { table.GetStringForIndex(4); }).GetErrorCode());
    EXPECT_EQ(1u, QvStringTable::BucketOf("\x01", 1));
    EXPECT_EQ((0x64636261u + 0x68676665u) % 10009u, QvStringTable::BucketOf("abcdefghij", 10));
    EXPECT_EQ(0x64636261u % 10009u, QvStringTable::BucketOf("abcde", 5));
    EXPECT_EQ(0xFFFFFF80u % 10009u, QvStringTable::BucketOf("\x80", 1));
}

TEST(Streams, FileStreamTypes)
{
    test::TempFolder tmp("streams");
    std::string name = tmp / "sub\\dir\\data.bin";
    {
        // A writing type creates the folders of its path.
        QvBinaryFileStream out(name.c_str(), 1.0, QV_STREAM_WRITE_EMPTIED);
        EXPECT_EQ(QV_STREAM_WRITE_EMPTIED, out.GetStreamType());
        out.WriteInt("a", 42);
        out.WriteString("b", DynamicString("hello"), false, false);
        out.WriteBool("c", true);
        EXPECT_EQ(11u, out.GetSize());
        EXPECT_EQ(11u, out.GetOffset());
        out.SetOffset(4);
        out.TruncateAtCurrentOffset();
        EXPECT_EQ(4u, out.GetSize());
        out.WriteString("b", DynamicString("hi"), false, false);
    }
    {
        QvBinaryFileStream in(name.c_str(), 1.0);
        DynamicString text;
        EXPECT_EQ(42, in.ReadInt("a"));
        EXPECT_TRUE(in.ReadString("b", text));
        EXPECT_STREQ("hi", text.GetString());
        EXPECT_EQ(KE_BAD_FILE_FORMAT, Raised([&] { in.ReadInt("x"); }).GetErrorCode());
        EXPECT_EQ(KE_BAD_FILE_FORMAT, Raised([&] { in.ReadString("x", text); }).GetErrorCode());

        QvMemoryStream memory;
        in.SetOffset(2);
        memory.WriteStream(in, 1, 3);
        EXPECT_EQ(2u, in.GetOffset());
        EXPECT_EQ((std::vector<unsigned char>{0, 0, 0}), Bytes(memory));
        EXPECT_EQ(KE_PROGRAM_ERROR, Raised([&] { in.WriteStream(in, 0, 1); }).GetErrorCode());

        in.SetStreamType(QV_STREAM_NONE);
        EXPECT_EQ(QV_STREAM_NONE, in.GetStreamType());
        in.SetStreamType(QV_STREAM_WRITE);  // kept
        EXPECT_EQ(7u, in.GetSize());
        // What WriteStream wrote: the smaller of the count and what the source has from start.
        QvMemoryStream tail;
        tail.WriteBytes("!?abcdef", 8);
        in.SetOffset(7);
        in.WriteStream(tail, 0, 1);
        in.WriteStream(tail, 3, 2);
        in.WriteStream(tail, 6, 50);
        EXPECT_EQ(12u, in.GetOffset());
        EXPECT_EQ(12u, in.GetSize());
        in.SetStreamType(QV_STREAM_READ);
        char written[16] = {};
        in.SetOffset(0);
        EXPECT_EQ(12u, in.ReadBytes(written, sizeof written, 0));
        EXPECT_EQ(std::string("\x2a\0\0\0hi\0!bcef", 12), std::string(written, 12));

        // A short read at the end of the file: the count read with error code 0, the error
        // raised otherwise, nothing at all from beyond the end.
        char buffer[8];
        in.SetOffset(10);
        EXPECT_EQ(2u, in.ReadBytes(buffer, sizeof buffer, 0));
        EXPECT_EQ(std::string("ef"), std::string(buffer, 2));
        in.SetOffset(10);
        EXPECT_EQ(KE_BAD_FILE_FORMAT, Raised([&] { in.ReadBytes(buffer, 4, KE_BAD_FILE_FORMAT); }).GetErrorCode());
        in.SetOffset(12);
        EXPECT_EQ(0u, in.ReadBytes(buffer, 4, 0));
        in.SetOffset(40);
        EXPECT_EQ(0u, in.ReadBytes(buffer, 4, 0));
        in.SetOffset(8);
        EXPECT_EQ(4u, in.ReadBytes(buffer, 4, KE_BAD_FILE_FORMAT));

        in.SetStreamType(QV_STREAM_READ_WRITE_EMPTIED);
        EXPECT_EQ(0u, in.GetSize());
    }
    KEException missing = Raised([&] { QvBinaryFileStream s((tmp / "none.bin").c_str(), 0.5); });
    EXPECT_EQ(KE_FILE_NOT_FOUND, missing.GetErrorCode());
    EXPECT_EQ("Unable to open file '" + tmp / "none.bin" + "'.", missing.GetDescription());
    KEException missingRw = Raised([&] { QvBinaryFileStream s((tmp / "none.bin").c_str(), 0.5, QV_STREAM_READ_WRITE); });
    EXPECT_EQ("Error writing to file '" + tmp / "none.bin" + "'.", missingRw.GetDescription());

    KEException bad = Raised([&] { QvBinaryFileStream s(name.c_str(), 0.0, 6); });
    EXPECT_EQ(KE_PROGRAM_ERROR, bad.GetErrorCode());
}

#ifndef SARNIK_HOST_BUILD  // a real file system (files past 4 GB, long paths): Wine only
TEST(Streams, LargeFileSize)
{
    test::TempFolder tmp("streams");
    std::string name = tmp / "big.bin";
    {
        QvBinaryFileStream out(name.c_str(), 0.0, QV_STREAM_WRITE_EMPTIED);
        out.SetOffset(0xFFFFFFFFu);
        out.WriteBytes("12", 2);  // the end now lies past 4 GiB
        EXPECT_EQ(0x100000001ULL, out.GetLargeSize());
        EXPECT_EQ(0x100000001ULL, out.GetLargeOffset());
        KEException e = Raised([&] { out.GetSize(); });
        EXPECT_EQ(KE_UINT32_OVERFLOW, e.GetErrorCode());
        EXPECT_STREQ("32-BIT SIZE LIMITATION.", e.GetDescription());
        EXPECT_EQ(KE_UINT32_OVERFLOW, Raised([&] { out.GetOffset(); }).GetErrorCode());
    }
    DeleteFileA(name.c_str());
}
#endif

#ifndef SARNIK_HOST_BUILD  // a real file system (files past 4 GB, long paths): Wine only
TEST(Streams, LongPathOption)
{
    test::TempFolder tmp("streams");
    std::string deep = tmp.Path();
    for (int i = 0; i < 5; ++i)
        deep += "\\" + std::string(60, 'k' + i);
    std::string name = deep + "\\data.bin";
    ASSERT_GT(name.size(), 300u);
    {
        QvBinaryFileStream out(name.c_str(), 0.0, QV_STREAM_NONE);
        out.SetLongPathOption(true);
        out.SetStreamType(QV_STREAM_WRITE_EMPTIED);
        out.WriteInt("a", 7);
    }
    DynamicPath file(name.c_str());
    EXPECT_TRUE(file.FileExistsLong());
    {
        QvBinaryFileStream in(name.c_str(), 0.0, QV_STREAM_NONE);
        in.SetLongPathOption(true);
        in.SetStreamType(QV_STREAM_READ);
        EXPECT_EQ(7, in.ReadInt("a"));
    }
    EXPECT_TRUE(file.DeleteFileIfExistsLong(false));
    DynamicPath walk(deep.c_str());
    while (walk.GetDepth() > DynamicPath(tmp.Path().c_str()).GetDepth()) {
        RemoveDirectoryW(walk.ConvertForLongPathCalls()->c_str());
        walk.RemoveFileName();
    }
}
#endif

#ifndef SARNIK_HOST_BUILD  // a child process holding the file: Wine only
TEST(Streams, BusyFileIsRetriedForTheTimeOut)
{
    test::TempFolder tmp("streams");
    std::string name = tmp / "held.bin";
    test::WriteFile(name, "content");
    test::Process holder(test::BinPath("probe.exe"), "lock " + test::Quoted(name) + " 8000");
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
                return false;
            }
            return GetLastError() == ERROR_SHARING_VIOLATION;
        },
        5000));

    const double timeout = 1.5;
    double start = GetProcessClockSeconds();
    KEException e = Raised([&] { QvBinaryFileStream s(name.c_str(), timeout); });
    double elapsed = GetProcessClockSeconds() - start;
    std::printf("open of a held file gave up after %.3f s (time-out %.1f s)\n", elapsed, timeout);
    EXPECT_EQ(KE_SHARING_VIOLATION, e.GetErrorCode());
    EXPECT_EQ(ERROR_SHARING_VIOLATION, e.GetAPIErrorCode());
    EXPECT_GE(elapsed, timeout);

    // Without a time-out the first failure is final.
    EXPECT_EQ(KE_SHARING_VIOLATION, Raised([&] { QvBinaryFileStream s(name.c_str(), 0.0); }).GetErrorCode());

    // A file released during the retries is opened.
    holder.Kill();
    ASSERT_TRUE(holder.Wait(5000));
    QvBinaryFileStream s(name.c_str(), timeout);
    EXPECT_EQ(7u, s.GetSize());
}
#endif

TEST(Streams, ProcessClockAdvances)
{
    double a = GetProcessClockSeconds();
    Sleep(50);
    double b = GetProcessClockSeconds();
    EXPECT_GE(a, 0.0);
    EXPECT_GE(b - a, 0.04);
}

} // namespace
