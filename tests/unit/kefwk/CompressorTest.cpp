// The compressor over the real zlib DLL under Wine, with data made by zlib itself.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Compressor.h"
#include "ErrorTables.h"
#include "KEException.h"
#include "ZlibGenerator.h"
#include "support/TestSupport.h"

namespace {

std::string Hex(const std::string& s)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string RandomBytes(std::mt19937& rng, size_t n, bool noNul = false)
{
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        char c = (char)(rng() & 0xFF);
        s += (noNul && c == 0) ? '\x01' : c;
    }
    return s;
}

std::string Decode(const std::string& text)
{
    std::string out(ZqCompressor::DecodedLength((int)text.size()), '\0');
    ZqCompressor::DecodePrintable(text.data(), (int)text.size(), reinterpret_cast<unsigned char*>(&out[0]));
    return out;
}

// ---------------------------------------------------------------------------------------------
// The printable codec

TEST(PrintableCodec, KnownEncodings)
{
    struct Case { std::string bytes; const char* text; };
    const Case cases[] = {
        {"abc", "EQRS"},
        {"", ""},
        {"a", "@Q"},                     // one byte: c0 with bits 5 and 4 only
        {"ab", "DQR"},                   // two bytes: c0 with bits 5 to 2
        {std::string("\xFF\xFF\xFF"), "oooo"},
        {std::string("\0\0\0", 3), "0000"},
        {std::string("\x50\x4D\x43", 3), "E@=3"},  // the first three magic bytes
    };
    for (size_t row = 0; row < sizeof cases / sizeof cases[0]; ++row) {
        DynamicString text;
        ZqCompressor::EncodePrintable(reinterpret_cast<const unsigned char*>(cases[row].bytes.data()),
                                      (int)cases[row].bytes.size(), text);
        EXPECT_STREQ(text.GetString(), cases[row].text) << "row " << row;
        EXPECT_EQ(Decode(cases[row].text), cases[row].bytes) << "row " << row;
    }
}

TEST(PrintableCodec, DecodesEveryLengthExactly)
{
    std::mt19937 rng(1234);
    for (size_t n = 0; n <= 40; ++n) {
        for (int round = 0; round < 20; ++round) {
            std::string bytes = RandomBytes(rng, n);
            std::string text = gen::Printable(bytes);
            ASSERT_EQ((int)bytes.size(), ZqCompressor::DecodedLength((int)text.size())) << "length " << n;
            EXPECT_EQ(Hex(Decode(text)), Hex(bytes)) << "length " << n << " round " << round;
            DynamicString ours;
            ZqCompressor::EncodePrintable(reinterpret_cast<const unsigned char*>(bytes.data()), (int)n, ours);
            EXPECT_EQ(std::string(ours.GetString()), text) << "length " << n << " round " << round;
        }
    }
}

TEST(PrintableCodec, DecodedLengthAndLenientCharacters)
{
    // n characters give (n / 4) * 3 bytes plus (n mod 4) - 1; a lone last character gives nothing.
    const int expected[] = {0, 0, 1, 2, 3, 3, 4, 5, 6, 6};
    for (int n = 0; n < 10; ++n)
        EXPECT_EQ(ZqCompressor::DecodedLength(n), expected[n]) << "n " << n;
    // Characters outside '0'..'o' are not rejected: their value minus 0x30, low six bits.
    EXPECT_EQ(Hex(Decode(std::string("\x7F\x20\xFF\x01", 4))), Hex(std::string("\x30\xCF\xD1", 3)));
    // Unused bits of c0 are ignored.
    EXPECT_EQ(Decode("oQ"), "\xE1");
}

// ---------------------------------------------------------------------------------------------
// Compressed texts through the process-wide binding and the real DLL

TEST(CompressedText, ProducesThePlainTextZlibCompressed)
{
    std::mt19937 rng(99);
    std::string repetitive;
    for (int i = 0; i < 5000; ++i)
        repetitive += "[Section" + std::to_string(i % 7) + "]\r\nUseLocalizedDecimalPoint = True\r\n";
    const std::string cases[] = {
        "", "a", "ab", "abc", "[Config]\r\nUseLocalizedDecimalPoint = TRUE\r\n", repetitive,
        RandomBytes(rng, 1000, true), RandomBytes(rng, 1001, true), RandomBytes(rng, 1002, true),
    };
    for (size_t row = 0; row < sizeof cases / sizeof cases[0]; ++row) {
        std::string encoded = gen::EncodedText(cases[row]);
        EXPECT_TRUE(ZqCompressor::IsCompressedString(DynamicString(encoded.c_str()))) << "row " << row;
        DynamicString out("left over");
        ZqCompressor::Global().CompressedStringToString(DynamicString(encoded.c_str()), out);
        EXPECT_EQ(out.GetByteLength(), (int)cases[row].size()) << "row " << row;
        EXPECT_TRUE(std::string(out.GetString()) == cases[row]) << "row " << row;
    }
}

TEST(CompressedText, FixedCapacityOutputKeepsWhatFits)
{
    std::string plain(1000, 'z');
    StaticString<64> out;
    ZqCompressor::Global().CompressedStringToString(DynamicString(gen::EncodedText(plain).c_str()), out);
    EXPECT_EQ(std::string(out.GetString()), plain.substr(0, 64));
}

struct Rejection {
    const char* name;
    std::string encoded;
    int code;
    const char* function;
};

std::vector<Rejection> Rejections()
{
    const std::string plain = "[Config]\r\nUseLocalizedDecimalPoint = True\r\n";
    const std::string good = gen::EncodedText(plain);
    std::string garbageStream = gen::CompressedBytes(plain);
    for (size_t i = 10; i < garbageStream.size(); ++i)
        garbageStream[i] = (char)(garbageStream[i] ^ 0x5A);
    return {
        {"empty", "", KE_INVALID_OR_OUT_OF_RANGE, "ZqCompressor::CompressedStringToString"},
        {"five characters", good.substr(0, 5), KE_INVALID_OR_OUT_OF_RANGE, "ZqCompressor::CompressedStringToString"},
        {"wrong magic", gen::Printable(gen::CompressedBytes(plain, (uint32_t)plain.size(), 0x5A434D51)),
         KE_INVALID_OR_OUT_OF_RANGE, "ZqCompressor::CompressedStringToString"},
        {"plain text", plain, KE_INVALID_OR_OUT_OF_RANGE, "ZqCompressor::CompressedStringToString"},
        {"six characters", good.substr(0, 6), KE_INVALID_OR_OUT_OF_RANGE, "ZqCompressor::UncompressSize"},
        {"ten characters", good.substr(0, 10), KE_INVALID_OR_OUT_OF_RANGE, "ZqCompressor::UncompressSize"},
        // No zlib stream can yield 44 bytes from nothing: refused before any allocation.
        {"header only", good.substr(0, 11), KE_INVALID_OR_OUT_OF_RANGE, "ZqCompressor::CompressedStringToString"},
        {"header length larger", gen::Printable(gen::CompressedBytes(plain, (uint32_t)plain.size() + 1)),
         KE_INVALID_OR_OUT_OF_RANGE, "ZqCompressor::CompressedStringToString"},
        {"header length smaller", gen::Printable(gen::CompressedBytes(plain, (uint32_t)plain.size() - 1)),
         KE_OPERATION_FAILED, "ZqCompressor::ThrowExceptionIfError"},
        {"header length 4 GB", gen::Printable(gen::CompressedBytes(plain, 0xFFFFFFFFu)),
         KE_INVALID_OR_OUT_OF_RANGE, "ZqCompressor::CompressedStringToString"},
        {"header length beyond any deflate ratio", gen::Printable(gen::CompressedBytes(plain, 100000000u)),
         KE_INVALID_OR_OUT_OF_RANGE, "ZqCompressor::CompressedStringToString"},
        {"garbage zlib stream", gen::Printable(garbageStream), KE_OPERATION_FAILED,
         "ZqCompressor::ThrowExceptionIfError"},
        {"stream cut short", good.substr(0, good.size() - 8), KE_OPERATION_FAILED,
         "ZqCompressor::ThrowExceptionIfError"},
    };
}

TEST(CompressedText, DamagedTextsAreRejected)
{
    const std::vector<Rejection> cases = Rejections();
    for (size_t row = 0; row < cases.size(); ++row) {
        const Rejection& c = cases[row];
        DynamicString out;
        try {
            ZqCompressor::Global().CompressedStringToString(DynamicString(c.encoded.c_str()), out);
            ADD_FAILURE() << "row " << row << " (" << c.name << "): nothing raised";
        } catch (const KEException& e) {
            EXPECT_EQ(e.GetErrorCode(), c.code) << "row " << row << " (" << c.name << ")";
            EXPECT_STREQ(e.GetFunction(), c.function) << "row " << row << " (" << c.name << ")";
        }
    }
}

TEST(CompressedText, EveryCutAndEveryFlippedCharacterFailsCleanly)
{
    std::string plain;
    for (int i = 0; i < 50; ++i)
        plain += "Item" + std::to_string(i) + " = \"value " + std::to_string(i * 7) + "\"\r\n";
    const std::string good = gen::EncodedText(plain);
    auto check = [&](const std::string& text, const std::string& what) {
        DynamicString out;
        try {
            ZqCompressor::Global().CompressedStringToString(DynamicString(text.c_str()), out);
            // A change zlib cannot notice (its check sum is over the plain text) still yields
            // exactly the header's length.
            EXPECT_EQ(out.GetByteLength(), (int)plain.size()) << what;
        } catch (const KEException& e) {
            EXPECT_TRUE(e.GetErrorCode() == KE_INVALID_OR_OUT_OF_RANGE || e.GetErrorCode() == KE_OPERATION_FAILED)
                << what << ": code " << e.GetErrorCode();
        }
    };
    for (size_t cut = 0; cut < good.size(); ++cut)
        check(good.substr(0, cut), "cut at " + std::to_string(cut));
    for (size_t i = 0; i < good.size(); ++i) {
        std::string flipped = good;
        flipped[i] = (char)(flipped[i] == 'o' ? '0' : flipped[i] + 1);
        check(flipped, "flipped at " + std::to_string(i));
    }
}

TEST(CompressedText, ThrowExceptionIfErrorNamesTheCode)
{
    EXPECT_EQ(ZqCompressor::ThrowExceptionIfError(0), 0);
    for (int code : {-3, -5, 1}) {
        try {
            ZqCompressor::ThrowExceptionIfError(code);
            ADD_FAILURE() << code << ": nothing raised";
        } catch (const KEException& e) {
            EXPECT_EQ(e.GetErrorCode(), KE_OPERATION_FAILED);
            std::string want = "Unable to perform compression or decompression operation (code: " +
                               std::to_string(code) + ").";
            EXPECT_EQ(std::string(e.GetDescription()), want);
        }
    }
}

TEST(CompressedText, RawDecompressionOfAZlibStream)
{
    const std::string plain(3000, 'q');
    const std::string stream = gen::Zlib(plain);
    std::vector<unsigned char> out(plain.size() + 10, 0xEE);
    unsigned long length = (unsigned long)plain.size();
    ZqCompressor::Global().Uncompress(out.data(), &length, reinterpret_cast<const unsigned char*>(stream.data()),
                                      (unsigned long)stream.size());
    EXPECT_EQ(length, plain.size());
    EXPECT_EQ(std::string(out.begin(), out.begin() + length), plain);
    EXPECT_EQ(out[plain.size()], 0xEE) << "nothing written past the given length";

    // A destination one byte short is zlib's "buffer error".
    length = (unsigned long)plain.size() - 1;
    try {
        ZqCompressor::Global().Uncompress(out.data(), &length, reinterpret_cast<const unsigned char*>(stream.data()),
                                          (unsigned long)stream.size());
        ADD_FAILURE() << "nothing raised";
    } catch (const KEException& e) {
        EXPECT_EQ(e.GetErrorCode(), KE_OPERATION_FAILED);
    }
}

// ---------------------------------------------------------------------------------------------
// Binding the library

std::string g_libraryFolder;
std::atomic<int> g_directoryAsked{0};

void TestDirectory(String& directory)
{
    ++g_directoryAsked;
    directory.Assign(g_libraryFolder.c_str());
}

int LoadError(ZqCompressor& compressor)
{
    try {
        compressor.Load();
        return 0;
    } catch (const KEException& e) {
        EXPECT_STREQ(e.GetFunction(), "ZqCompressor::Load");
        return e.GetErrorCode();
    }
}

#ifndef SARNIK_HOST_BUILD  // DLLs in folders of their own: Wine only
TEST(CompressorLoad, MissingLibraryIsReportedOnEveryCallThenFoundOnceThere)
{
    test::TempFolder folder("zq");
    g_libraryFolder = folder.Path();
    g_directoryAsked = 0;
    ZqCompressor compressor(TestDirectory);
    EXPECT_EQ(LoadError(compressor), KE_DLL_NOT_LOADABLE);
    EXPECT_EQ(LoadError(compressor), KE_DLL_NOT_LOADABLE);
    EXPECT_EQ(g_directoryAsked.load(), 2);
    EXPECT_FALSE(compressor.IsLoaded());

    ASSERT_TRUE(CopyFileA(test::BinPath("zqzlibwapi.dll").c_str(), (folder / "zqzlibwapi.dll").c_str(), FALSE));
    EXPECT_EQ(LoadError(compressor), 0);
    EXPECT_TRUE(compressor.IsLoaded());
    EXPECT_EQ(g_directoryAsked.load(), 3);

    // Once bound, the library is not looked for again: an empty folder does not matter now.
    test::TempFolder empty("zqempty");
    g_libraryFolder = empty.Path();
    EXPECT_EQ(LoadError(compressor), 0);
    EXPECT_EQ(g_directoryAsked.load(), 3);
    DynamicString out;
    compressor.CompressedStringToString(DynamicString(gen::EncodedText("after load").c_str()), out);
    EXPECT_STREQ(out.GetString(), "after load");
}
#endif

#ifndef SARNIK_HOST_BUILD  // DLLs in folders of their own: Wine only
// Only a full path reaches LoadLibraryA: a folder that is empty or relative would let the
// search order find a DLL planted in the current folder or beside the program.
TEST(CompressorLoad, NeverLoadsByABareNameOrARelativePath)
{
    test::TempFolder planted("zqplanted");
    test::MakeDirs(planted / "sub");
    ASSERT_TRUE(CopyFileA(test::BinPath("zqzlibwapi.dll").c_str(), (planted / "zqzlibwapi.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(test::BinPath("zqzlibwapi.dll").c_str(), (planted / "sub\\zqzlibwapi.dll").c_str(), FALSE));
    char saved[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof saved, saved);
    ASSERT_TRUE(SetCurrentDirectoryA(planted.Path().c_str()));
    for (const char* folder : {"", "sub", ".\\sub", "\\sub", "C:sub"}) {
        g_libraryFolder = folder;
        ZqCompressor compressor(TestDirectory);
        EXPECT_EQ(LoadError(compressor), KE_DLL_NOT_LOADABLE) << "folder '" << folder << "'";
        EXPECT_FALSE(compressor.IsLoaded()) << "folder '" << folder << "'";
    }
    // A full path still loads.
    g_libraryFolder = planted.Path() + "\\sub";
    {
        ZqCompressor compressor(TestDirectory);
        EXPECT_EQ(LoadError(compressor), 0);
    }
    SetCurrentDirectoryA(saved);
}

TEST(CompressorLoad, MissingExportIsReportedOnEveryCall)
{
    test::TempFolder folder("zqpartial");
    ASSERT_TRUE(CopyFileA((test::BinDir() + "\\partialzlib\\partialzlib.dll").c_str(),
                          (folder / "zqzlibwapi.dll").c_str(), FALSE));
    g_libraryFolder = folder.Path();
    {
        ZqCompressor compressor(TestDirectory);
        EXPECT_EQ(LoadError(compressor), KE_FUNC_NOT_IN_LIB);
        EXPECT_EQ(LoadError(compressor), KE_FUNC_NOT_IN_LIB);
        EXPECT_FALSE(compressor.IsLoaded());
        DynamicString out;
        try {
            compressor.CompressedStringToString(DynamicString(gen::EncodedText("x").c_str()), out);
            ADD_FAILURE() << "decompressed without uncompress";
        } catch (const KEException& e) {
            EXPECT_EQ(e.GetErrorCode(), KE_FUNC_NOT_IN_LIB);
        }
    }
    // The destructor released the module: the copy can go.
    EXPECT_TRUE(DeleteFileA((folder / "zqzlibwapi.dll").c_str()));
}
#endif

TEST(CompressorLoad, ThreadsRacingToTheFirstLoadAllDecompress)
{
    g_libraryFolder = test::BinDir();
    g_directoryAsked = 0;
    ZqCompressor compressor(TestDirectory);
    const std::string plain = "raced text\r\n";
    const std::string encoded = gen::EncodedText(plain);
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                DynamicString out;
                compressor.CompressedStringToString(DynamicString(encoded.c_str()), out);
                if (plain == out.GetString())
                    ++good;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), 300);
    EXPECT_EQ(g_directoryAsked.load(), 1) << "the library is bound once";
}

}  // namespace
