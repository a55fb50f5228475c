// zlib decompression bound at run time from the maker's zlib build, and the compressed text
// form stored as printable characters.
//
// Classes in this file:
//   LibraryModule   owns an HMODULE from LoadLibraryA
//   ZqCompressor    the binding record (one per process in normal use, see Global) and the
//                   operations on compressed texts
//
// Compressed text: the magic bytes 50 4D 43 5A, the plain length (32-bit little-endian), then
// one zlib stream. Printable form: every three bytes become four characters '0'..'o', six bits
// each; the first character carries the top two bits of the three bytes.
#pragma once

#include <windows.h>

#include "critsect.h"
#include "kestring.h"

class LibraryModule {
public:
    constexpr LibraryModule() : m_module(nullptr) {}
    ~LibraryModule() { Close(); }
    LibraryModule(const LibraryModule&) = delete;
    LibraryModule& operator=(const LibraryModule&) = delete;

    // False when the library cannot be loaded; the held module is then unchanged.
    bool Load(const char* path);
    void Close();
    HMODULE Get() const { return m_module; }
    // As void*: FARPROC's own type would have to be cast to the real signature anyway.
    void* GetProc(const char* name) const
    {
        return m_module ? reinterpret_cast<void*>(GetProcAddress(m_module, name)) : nullptr;
    }

private:
    HMODULE m_module;
};

// Where the zlib build lives: the product's binary directory.
typedef void (*CompressorDirectoryFunction)(String& directory);
void GetCompressorBinDirectory(String& directory);

class ZqCompressor {
public:
    // zlib1.dll exports its API with the C calling convention (ZEXPORT without ZLIB_WINAPI).
    typedef int(__cdecl* CompressFunction)(unsigned char* destination, unsigned long* destinationLength,
                                           const unsigned char* source, unsigned long sourceLength);
    typedef unsigned long(__cdecl* CompressBoundFunction)(unsigned long sourceLength);
    typedef int(__cdecl* UncompressFunction)(unsigned char* destination, unsigned long* destinationLength,
                                             const unsigned char* source, unsigned long sourceLength);

    static const unsigned kMagic = 0x5A434D50;
    static const int kHeaderBytes = 8;
    static const char kLibraryName[];

    constexpr explicit ZqCompressor(CompressorDirectoryFunction directory = GetCompressorBinDirectory)
        : m_directory(directory), m_compress(nullptr), m_compressBound(nullptr), m_uncompress(nullptr),
          m_loaded(false)
    {
    }
    ZqCompressor(const ZqCompressor&) = delete;
    ZqCompressor& operator=(const ZqCompressor&) = delete;

    // The process-wide binding that the framework uses.
    static ZqCompressor& Global();

    // Binds the library once; a failed attempt is retried by the next call. Raises
    // KE_DLL_NOT_LOADABLE or KE_FUNC_NOT_IN_LIB.
    void Load();
    bool IsLoaded();

    // zlib's uncompress with the arguments as given. Raises KE_OPERATION_FAILED on a zlib failure.
    void Uncompress(unsigned char* destination, unsigned long* destinationLength, const unsigned char* source,
                    unsigned long sourceLength);
    // The same on a decoded compressed text: the zlib stream after its header.
    void UncompressDecoded(unsigned char* destination, unsigned long* destinationLength,
                           const unsigned char* decoded, unsigned long decodedLength);
    // The plain text of a printable compressed text. Raises KE_INVALID_OR_OUT_OF_RANGE for a
    // damaged text. The output's content is undefined after a failure.
    void CompressedStringToString(const String& encoded, String& output);
    // The same on count characters at text, decoded where they lie (the characters are lost):
    // a large text needs no second buffer. Returns the plain length, which the output may not
    // show as its length when the plain text holds NUL bytes.
    unsigned CompressedTextToString(char* text, int count, String& output);

    // 0 for 0; anything else raises KE_OPERATION_FAILED with the code in the message.
    static int ThrowExceptionIfError(int result);
    // The plain length from a decoded header; raises KE_INVALID_OR_OUT_OF_RANGE when the header
    // is short or its magic wrong.
    static unsigned UncompressSize(const unsigned char* decoded, int count);
    // True when the text has at least six characters and they decode to the magic.
    static bool IsCompressedString(const String& text);

    // The printable six-bit codec.
    static int DecodedLength(int characterCount);
    // Writes DecodedLength(count) bytes; out may be text itself (decoding in place).
    static void DecodePrintable(const char* text, int count, unsigned char* out);
    static void EncodePrintable(const unsigned char* bytes, int count, String& out);

private:
    // The steps after decoding: header, size checks, decompression into the output.
    unsigned DecodedToString(const unsigned char* decoded, int decodedCount, String& output);

    CompressorDirectoryFunction m_directory;
    LibraryModule m_module;
    CompressFunction m_compress;
    CompressBoundFunction m_compressBound;
    UncompressFunction m_uncompress;
    bool m_loaded;
    CriticalSection m_lock;
};
