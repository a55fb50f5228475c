#include "Compressor.h"

#include "AnsiText.h"
#include "DirectoryGetter.h"
#include "PATH.h"

#include <mbstring.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>

#include "ErrorTables.h"
#include "KEException.h"

namespace {

// Deflate cannot expand data by more than 1032 to 1; a header that claims more than that is
// damaged, and believing it would make us allocate up to 4 GB for nothing.
const unsigned long long kMaxDeflateRatio = 1032;

unsigned ReadWord(const unsigned char* p)
{
    return (unsigned)p[0] | (unsigned)p[1] << 8 | (unsigned)p[2] << 16 | (unsigned)p[3] << 24;
}

[[noreturn]] void ThrowInvalid(const char* function, int line)
{
    ThrowKEException(nullptr, function, KE_INVALID_OR_OUT_OF_RANGE, 0, KE_SOURCE_FILE, line, __TIME__);
}

unsigned char* NewBytes(size_t count, const char* function, int line)
{
    unsigned char* bytes = new (std::nothrow) unsigned char[count ? count : 1];
    if (!bytes)
        ThrowKEException(nullptr, function, KE_OUT_OF_MEMORY, 0, KE_SOURCE_FILE, line, __TIME__);
    return bytes;
}

}  // namespace

bool LibraryModule::Load(const char* path)
{
    HMODULE module = LoadLibraryA(path);
    if (!module)
        return false;
    Close();
    m_module = module;
    return true;
}

void LibraryModule::Close()
{
    if (m_module) {
        FreeLibrary(m_module);
        m_module = nullptr;
    }
}

// The folder of the module that holds this code. This is the one place that asks for the
// product's binary directory; DirectoryGetter::GetBinDirectory (with its "Win32" subfolder in a
// development build) takes its place once the product directories are available.
void GetCompressorBinDirectory(String& directory)
{
    try {
        // The engine registered in this program's own registry view: a 64-bit program cannot load
        // the DLLs of the 32-bit product, and takes the DLL shipped beside it instead.
        DirectoryGetter getter(kOwnRegistryView);
        Path bin;
        getter.GetBinDirectory(bin, true);
        if (getter.IsDevBuild())
            bin.AppendComponent("Win32");
        directory.Assign(bin.GetText());
        return;
    } catch (const KEException&) {
        // No installed product (the engine is not registered): the DLL shipped beside this
        // program is the one to use.
    }
    HMODULE self = nullptr;
    std::string path;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&GetCompressorBinDirectory), &self)) {
        // Taken wide: the ANSI name of a program in a folder named with a character the code page
        // lacks is a look-alike ("L\xf3dz" for "\u0141\xf3d\u017a"), the folder of somebody
        // else's DLL. Its short name names the folder itself; with neither, nothing is found.
        AnsiPath own = AnsiPath::FromWide(ModuleFileNameWide(self));
        path = own.Text();
    }
    // A folder as long as a path holds no DLL name: nothing is found there.
    if (path.size() >= MAX_PATH)
        path.clear();
    // By character: a double-byte file name may hold a trail byte equal to '\\'.
    unsigned char* slash = _mbsrchr(reinterpret_cast<unsigned char*>(&path[0]), '\\');
    if (slash)
        path.resize(reinterpret_cast<char*>(slash) - &path[0]);
    else
        path.clear();
    directory.Assign(path.c_str());
}

namespace {

// A drive root ("C:\\...") or a network path ("\\\\server\\share..."): the only forms that
// LoadLibraryA takes as they stand. A bare name or a relative path would be looked for along the
// search order, current folder included, where anyone may have planted a DLL of that name.
bool IsFullPath(const String& path)
{
    const char* p = path.GetString();
    bool drive = ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':' &&
                 (p[2] == '\\' || p[2] == '/');
    bool network = (p[0] == '\\' || p[0] == '/') && (p[1] == '\\' || p[1] == '/');
    return drive || network;
}

}  // namespace

const char ZqCompressor::kLibraryName[] = "zqzlibwapi.dll";

ZqCompressor& ZqCompressor::Global()
{
    // Constant-initialised: usable from other static objects' constructors and destructors.
    static ZqCompressor compressor;
    return compressor;
}

void ZqCompressor::Load()
{
    CriticalSectionGuard guard(m_lock);
    if (m_loaded)
        return;
    DynamicString path;
    m_directory(path);
    if (!path.IsEmpty() && path.GetLastChar() != '\\' && path.GetLastChar() != '/')
        path.Append("\\");
    path.Append(kLibraryName);
    if (!m_module.Get() && !IsFullPath(path)) {
        ThrowKEException(nullptr, "ZqCompressor::Load", KE_DLL_NOT_LOADABLE, ERROR_MOD_NOT_FOUND, KE_SOURCE_FILE,
                         __LINE__, __TIME__);
    }
    if (!m_module.Get() && !m_module.Load(path))
        ThrowKEException(nullptr, "ZqCompressor::Load", KE_DLL_NOT_LOADABLE, (int)GetLastError(), KE_SOURCE_FILE,
                         __LINE__, __TIME__);
    m_compress = reinterpret_cast<CompressFunction>(m_module.GetProc("compress"));
    if (!m_compress)
        ThrowKEException(nullptr, "ZqCompressor::Load", KE_FUNC_NOT_IN_LIB, 0, KE_SOURCE_FILE, __LINE__, __TIME__);
    m_compressBound = reinterpret_cast<CompressBoundFunction>(m_module.GetProc("compressBound"));
    if (!m_compressBound)
        ThrowKEException(nullptr, "ZqCompressor::Load", KE_FUNC_NOT_IN_LIB, 0, KE_SOURCE_FILE, __LINE__, __TIME__);
    m_uncompress = reinterpret_cast<UncompressFunction>(m_module.GetProc("uncompress"));
    if (!m_uncompress)
        ThrowKEException(nullptr, "ZqCompressor::Load", KE_FUNC_NOT_IN_LIB, 0, KE_SOURCE_FILE, __LINE__, __TIME__);
    m_loaded = true;
}

bool ZqCompressor::IsLoaded()
{
    CriticalSectionGuard guard(m_lock);
    return m_loaded;
}

void ZqCompressor::Uncompress(unsigned char* destination, unsigned long* destinationLength,
                              const unsigned char* source, unsigned long sourceLength)
{
    Load();
    ThrowExceptionIfError(m_uncompress(destination, destinationLength, source, sourceLength));
}

void ZqCompressor::UncompressDecoded(unsigned char* destination, unsigned long* destinationLength,
                                    const unsigned char* decoded, unsigned long decodedLength)
{
    if (decodedLength < (unsigned long)kHeaderBytes)
        ThrowInvalid("ZqCompressor::UncompressSize", __LINE__);
    Load();
    ThrowExceptionIfError(m_uncompress(destination, destinationLength, decoded + kHeaderBytes,
                                       decodedLength - kHeaderBytes));
}

void ZqCompressor::CompressedStringToString(const String& encoded, String& output)
{
    const char* text = encoded.GetString();
    int count = encoded.GetByteLength();
    if (!IsCompressedString(encoded))
        ThrowInvalid("ZqCompressor::CompressedStringToString", __LINE__);

    int decodedCount = DecodedLength(count);
    std::unique_ptr<unsigned char[]> decoded(NewBytes(decodedCount, "ZqCompressor::CompressedStringToString", __LINE__));
    DecodePrintable(text, count, decoded.get());
    DecodedToString(decoded.get(), decodedCount, output);
}

unsigned ZqCompressor::CompressedTextToString(char* text, int count, String& output)
{
    // IsCompressedString's test, on the characters as they are.
    unsigned char head[4];
    if (count < 6 || (DecodePrintable(text, 6, head), ReadWord(head) != kMagic))
        ThrowInvalid("ZqCompressor::CompressedStringToString", __LINE__);
    // Each group of four characters becomes at most three bytes at or before where it was read.
    unsigned char* decoded = reinterpret_cast<unsigned char*>(text);
    DecodePrintable(text, count, decoded);
    return DecodedToString(decoded, DecodedLength(count), output);
}

unsigned ZqCompressor::DecodedToString(const unsigned char* decoded, int decodedCount, String& output)
{
    unsigned plainLength = UncompressSize(decoded, decodedCount);
    unsigned long long streamBytes = (unsigned long long)(decodedCount - kHeaderBytes);
    if (plainLength >= 0x7FFFFFFFu || plainLength > streamBytes * kMaxDeflateRatio)
        ThrowInvalid("ZqCompressor::CompressedStringToString", __LINE__);

    unsigned long produced = plainLength;
    int usable = output.EnsureBufferSize((int)plainLength + 1, false, false);
    if (usable >= (int)plainLength + 1) {
        unsigned char* target = reinterpret_cast<unsigned char*>(output.GetBuffer());
        UncompressDecoded(target, &produced, decoded, decodedCount);
        target[produced] = '\0';
        output.ReleaseBuffer();
    } else {
        // A fixed-capacity output cannot take the whole text: it keeps what fits, as such
        // strings always do, instead of letting zlib write past its end.
        std::unique_ptr<unsigned char[]> plain(NewBytes((size_t)plainLength + 1,
                                                        "ZqCompressor::CompressedStringToString", __LINE__));
        UncompressDecoded(plain.get(), &produced, decoded, decodedCount);
        plain[produced] = '\0';
        output.Assign(reinterpret_cast<const char*>(plain.get()));
    }
    if (produced != plainLength)
        ThrowInvalid("ZqCompressor::CompressedStringToString", __LINE__);
    return plainLength;
}

int ZqCompressor::ThrowExceptionIfError(int result)
{
    if (result == 0)
        return 0;
    DynamicString message(GetTableString("ERR_DESCR", "COMPRESS_OP_FAILED").Text());
    message.ReplaceArgument(result, 1);
    ThrowKEExceptionWithText(message, "ZqCompressor::ThrowExceptionIfError", KE_OPERATION_FAILED, 0, KE_SOURCE_FILE,
                             __LINE__, __TIME__);
}

unsigned ZqCompressor::UncompressSize(const unsigned char* decoded, int count)
{
    if (count < kHeaderBytes || ReadWord(decoded) != kMagic)
        ThrowInvalid("ZqCompressor::UncompressSize", __LINE__);
    return ReadWord(decoded + 4);
}

bool ZqCompressor::IsCompressedString(const String& text)
{
    if (text.GetByteLength() < 6)
        return false;
    unsigned char head[4];
    DecodePrintable(text.GetString(), 6, head);
    return ReadWord(head) == kMagic;
}

int ZqCompressor::DecodedLength(int characterCount)
{
    if (characterCount <= 0)
        return 0;
    int rest = characterCount % 4;
    return characterCount / 4 * 3 + (rest ? rest - 1 : 0);
}

void ZqCompressor::DecodePrintable(const char* text, int count, unsigned char* out)
{
    auto value = [](char c) { return (unsigned)((unsigned char)c - 0x30) & 0x3F; };
    // Whole groups first, without the bookkeeping of a short last group.
    int i = 0;
    for (; count - i >= 4; i += 4) {
        unsigned top = value(text[i]);
        unsigned char b0 = (unsigned char)((top >> 4 & 3) << 6 | value(text[i + 1]));
        unsigned char b1 = (unsigned char)((top >> 2 & 3) << 6 | value(text[i + 2]));
        unsigned char b2 = (unsigned char)((top & 3) << 6 | value(text[i + 3]));
        out[0] = b0;
        out[1] = b1;
        out[2] = b2;
        out += 3;
    }
    for (; i + 1 < count; i += 4) {
        unsigned top = value(text[i]);
        int inGroup = count - i - 1 < 3 ? count - i - 1 : 3;
        for (int k = 0; k < inGroup; ++k) {
            unsigned high = (top >> (4 - 2 * k)) & 3;
            *out++ = (unsigned char)(high << 6 | value(text[i + 1 + k]));
        }
    }
}

void ZqCompressor::EncodePrintable(const unsigned char* bytes, int count, String& out)
{
    DynamicString text;
    for (int i = 0; i < count; i += 3) {
        int inGroup = count - i < 3 ? count - i : 3;
        unsigned top = 0;
        for (int k = 0; k < inGroup; ++k)
            top |= (unsigned)(bytes[i + k] >> 6) << (4 - 2 * k);
        char group[5];
        group[0] = (char)(0x30 + top);
        for (int k = 0; k < inGroup; ++k)
            group[1 + k] = (char)(0x30 + (bytes[i + k] & 0x3F));
        group[1 + inGroup] = '\0';
        text.Append(group);
    }
    out.Assign(text);
}
