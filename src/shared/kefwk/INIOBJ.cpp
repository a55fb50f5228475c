#include "INIOBJ.h"

#include "PATH.h"

#include <windows.h>
#include <mbctype.h>
#include <stdio.h>
#include <string.h>

#include <istream>
#include <new>
#include <streambuf>
#include <string>
#include <vector>

#include "Compressor.h"
#include "ErrorTables.h"
#include "KEException.h"
#include "LINESTRM.h"

// =============================================================================================
// The configuration library

namespace {

struct IniItem {
    std::string tag;
    std::string value;
    bool quoted;
};

struct IniSection {
    std::string name;
    std::vector<IniItem> items;
};

const int kRecentSections = 3;

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Bytes of the character at p: a lead byte with its trail byte is one character, so that a
// trail byte that happens to equal ']' or '=' is never taken for one.
int CharBytes(const char* p, const char* end)
{
    return (p + 1 < end && _ismbblead((unsigned char)*p)) ? 2 : 1;
}

void TrimmedRange(const char*& begin, const char*& end)
{
    while (begin < end && IsWhite(*begin))
        ++begin;
    const char* lastEnd = begin;
    for (const char* p = begin; p < end;) {
        int n = CharBytes(p, end);
        if (!IsWhite(*p))
            lastEnd = p + n;
        p += n;
    }
    end = lastEnd;
}

// The first occurrence of pattern that starts on a character boundary.
const char* FindOnBoundary(const char* begin, const char* end, const char* pattern, int patternBytes)
{
    for (const char* p = begin; p + patternBytes <= end; p += CharBytes(p, end)) {
        if (memcmp(p, pattern, (size_t)patternBytes) == 0)
            return p;
    }
    return nullptr;
}

bool EqualsIgnoringCase(const std::string& value, const char* word)
{
    // The "C" locale's case folding: ASCII letters only.
    size_t n = strlen(word);
    if (value.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char a = value[i], b = word[i];
        if (a >= 'A' && a <= 'Z') a = (char)(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = (char)(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

// A continuation item's tag is "<name> Line<digits>"; the digits must fit a signed 32-bit int.
bool ContinuationNumber(const std::string& tag, size_t& prefixBytes, long long& number)
{
    static const char kMarker[] = " Line";
    const char* begin = tag.c_str();
    const char* found = FindOnBoundary(begin, begin + tag.size(), kMarker, (int)sizeof kMarker - 1);
    if (!found)
        return false;
    size_t at = size_t(found - begin);
    size_t digits = at + sizeof kMarker - 1;
    if (digits >= tag.size())
        return false;
    long long n = 0;
    for (size_t i = digits; i < tag.size(); ++i) {
        char c = tag[i];
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
        if (n > 0x7FFFFFFFLL)
            return false;
    }
    prefixBytes = at;
    number = n;
    return true;
}

// Long values are stored as runs "Tag Line1", "Tag Line2", ...; a run starts at number 1 and
// takes every directly following continuation item not numbered 1.
void JoinContinuations(IniSection& section)
{
    std::vector<IniItem>& items = section.items;
    size_t kept = 0;
    for (size_t i = 0; i < items.size();) {
        size_t prefix;
        long long number;
        if (ContinuationNumber(items[i].tag, prefix, number) && number == 1) {
            IniItem& first = items[i];
            first.tag.resize(prefix);
            size_t j = i + 1;
            size_t nextPrefix;
            long long nextNumber;
            while (j < items.size() && ContinuationNumber(items[j].tag, nextPrefix, nextNumber) && nextNumber != 1) {
                first.value += items[j].value;
                ++j;
            }
            if (kept != i)
                items[kept] = std::move(first);
            ++kept;
            i = j;
        } else {
            if (kept != i)
                items[kept] = std::move(items[i]);
            ++kept;
            ++i;
        }
    }
    items.resize(kept);
}

}  // namespace

struct IniText {
    std::vector<std::unique_ptr<IniSection>> sections;
    // Newest first; looked at before any search of the list.
    IniSection* recent[kRecentSections];
    bool sorted;
    char separator[8];
    int separatorLength;
    char writtenSeparator[10];
    char sectionOpen[2];
    char sectionClose[2];
    char commentMarker[8];
};

IniText* IniText_New()
{
    IniText* configuration = new (std::nothrow) IniText;
    if (!configuration)
        return nullptr;
    for (IniSection*& section : configuration->recent)
        section = nullptr;
    configuration->sorted = false;
    strcpy(configuration->separator, "=");
    configuration->separatorLength = 1;
    snprintf(configuration->writtenSeparator, sizeof configuration->writtenSeparator, " %s ", configuration->separator);
    strcpy(configuration->sectionOpen, "[");
    strcpy(configuration->sectionClose, "]");
    strcpy(configuration->commentMarker, ";");
    return configuration;
}

void IniText_Dispose(IniText* configuration)
{
    delete configuration;
}

namespace {

// Classifies one line and adds what it holds. Throws std::bad_alloc only.
void ParseLine(IniText& configuration, IniSection*& current, const char* line, size_t length)
{
    const char* p = line;
    const char* end = line + length;
    while (p < end && IsWhite(*p))
        ++p;
    if (p == end)
        return;
    size_t commentBytes = strlen(configuration.commentMarker);
    if ((size_t)(end - p) >= commentBytes && memcmp(p, configuration.commentMarker, commentBytes) == 0)
        return;

    if (*p == configuration.sectionOpen[0]) {
        const char* close = nullptr;
        for (const char* q = p + 1; q < end; q += CharBytes(q, end)) {
            if (*q == configuration.sectionClose[0])
                close = q;
        }
        if (!close)
            return;
        for (const char* q = close + 1; q < end; ++q) {
            if (!IsWhite(*q))
                return;
        }
        const char* nameBegin = p + 1;
        const char* nameEnd = close;
        TrimmedRange(nameBegin, nameEnd);
        if (nameBegin == nameEnd)
            return;
        std::unique_ptr<IniSection> section(new IniSection);
        section->name.assign(nameBegin, nameEnd);
        configuration.sections.push_back(std::move(section));
        current = configuration.sections.back().get();
        return;
    }

    const char* separator = FindOnBoundary(p, end, configuration.separator, configuration.separatorLength);
    if (!separator || !current)
        return;
    const char* tagBegin = p;
    const char* tagEnd = separator;
    const char* valueBegin = separator + configuration.separatorLength;
    const char* valueEnd = end;
    TrimmedRange(tagBegin, tagEnd);
    TrimmedRange(valueBegin, valueEnd);
    if (tagBegin == tagEnd || valueBegin == valueEnd)
        return;
    bool quoted = valueEnd - valueBegin >= 2 && valueBegin[0] == '"' && valueEnd[-1] == '"';
    if (quoted) {
        ++valueBegin;
        --valueEnd;
    }
    current->items.push_back(IniItem{std::string(tagBegin, tagEnd), std::string(valueBegin, valueEnd), quoted});
}

int ReadFromLineFile(void* context, char* buffer, int maxLength, int* endOfData, int*)
{
    return LineFile_ReadNonEmpty(static_cast<LineFile*>(context), buffer, maxLength, nullptr, endOfData);
}

IniSection* FindSection(IniText& configuration, const char* name)
{
    for (IniSection* section : configuration.recent) {
        if (section && section->name == name)
            return section;
    }
    for (const std::unique_ptr<IniSection>& section : configuration.sections) {
        if (section->name == name) {
            for (int i = kRecentSections - 1; i > 0; --i)
                configuration.recent[i] = configuration.recent[i - 1];
            configuration.recent[0] = section.get();
            return section.get();
        }
    }
    return nullptr;
}

}  // namespace

int IniText_ReadGeneric(IniText* configuration, IniText_LineSupplier supplier, void* context)
{
    if (!configuration || !supplier)
        return INITEXT_IO_ERROR;
    size_t firstNew = configuration->sections.size();
    IniSection* current = nullptr;
    int status = 0;
    char buffer[kIniLineBufferBytes];
    try {
        for (;;) {
            int endOfData = 0, lineNumber = 0;
            buffer[0] = '\0';
            status = supplier(context, buffer, kIniMaxLineBytes, &endOfData, &lineNumber);
            if (status != 0 || endOfData)
                break;
            // A supplier that overfills is not trusted past the buffer's end.
            buffer[kIniLineBufferBytes - 1] = '\0';
            ParseLine(*configuration, current, buffer, strlen(buffer));
        }
    } catch (const std::bad_alloc&) {
        status = INITEXT_OUT_OF_MEMORY;
    }
    // Sections held before this read were joined by their own read.
    try {
        for (size_t i = firstNew; i < configuration->sections.size(); ++i)
            JoinContinuations(*configuration->sections[i]);
    } catch (const std::bad_alloc&) {
        if (status == 0)
            status = INITEXT_OUT_OF_MEMORY;
    }
    return status;
}

int IniText_ReadFromFile(IniText* configuration, const char* fileName)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(fileName, "rb"), fclose);
    if (!file)
        return INITEXT_COULD_NOT_OPEN_FILE;
    std::unique_ptr<LineFile, void (*)(LineFile*)> lines(LineFile_New(nullptr, file.get()), LineFile_Dispose);
    if (!lines)
        return INITEXT_OUT_OF_MEMORY;
    return IniText_ReadGeneric(configuration, ReadFromLineFile, lines.get());
}

namespace {

const IniItem* FindItem(IniText* configuration, const char* section, const char* tag)
{
    if (!configuration || !section || !tag)
        return nullptr;
    IniSection* found = FindSection(*configuration, section);
    if (!found)
        return nullptr;
    for (const IniItem& item : found->items) {
        if (item.tag == tag)
            return &item;
    }
    return nullptr;
}

}  // namespace

int IniText_GetString(IniText* configuration, const char* section, const char* tag, const char** value,
                      int* quoted)
{
    const IniItem* item = FindItem(configuration, section, tag);
    if (!item)
        return 0;
    *value = item->value.c_str();
    if (quoted)
        *quoted = item->quoted ? 1 : 0;
    return 1;
}

int IniText_GetBoolean(IniText* configuration, const char* section, const char* tag, int* value)
{
    const IniItem* found = FindItem(configuration, section, tag);
    if (!found)
        return 0;
    bool blank = true;
    for (char c : found->value)
        blank = blank && IsWhite(c);
    if (blank)
        return 0;
    if (EqualsIgnoringCase(found->value, "True"))
        *value = 1;
    else if (EqualsIgnoringCase(found->value, "False"))
        *value = 0;
    else
        return INITEXT_INVALID_BOOLEAN;
    return 1;
}

// =============================================================================================
// IniObj

namespace {

const char kEncodedMagic[] = "QuelvaranBinaryText";
const size_t kEncodedMagicBytes = sizeof kEncodedMagic - 1;
const char kBinaryMagic[] = "QuelvaranBinary";
const size_t kBinaryMagicBytes = sizeof kBinaryMagic - 1;
const unsigned kBinaryHeaderBytes = 32;
// What is read first to tell the forms apart.
const size_t kBinaryPrefixBytes = 20;
// zlib's deflate cannot expand data more than about 1032 to 1; a larger claim is damage.
const unsigned long long kMaxInflateRatio = 1032;

[[noreturn]] void Raise(const char* function, int code, int apiCode, int line)
{
    ThrowKEException(nullptr, function, code, apiCode, KE_SOURCE_FILE, line, __TIME__);
}

[[noreturn]] void RaiseWithText(const String& text, const char* function, int code, int apiCode, int line)
{
    ThrowKEExceptionWithText(text, function, code, apiCode, KE_SOURCE_FILE, line, __TIME__);
}

[[noreturn]] void RaiseLibraryStatus(int status, const char* function, int line)
{
    DynamicString text;
    GetToolStatusDescription(status, text);
    RaiseWithText(text, function, ErrorCodeFromToolStatus(status), status, line);
}

unsigned LittleEndian32(const unsigned char* p)
{
    return (unsigned)p[0] | (unsigned)p[1] << 8 | (unsigned)p[2] << 16 | (unsigned)p[3] << 24;
}

// A read-only stream over characters the caller keeps alive: the text is not copied.
class MemoryStreamBuf : public std::streambuf {
public:
    MemoryStreamBuf(const char* text, size_t length)
    {
        char* begin = const_cast<char*>(text);
        setg(begin, begin, begin + length);
    }
};

struct LineStreamContext {
    LineStream* lines;
};

int ReadFromLineStream(void* context, char* buffer, int maxLength, int* endOfData, int*)
{
    LineStream& lines = *static_cast<LineStreamContext*>(context)->lines;
    int length = 0;
    bool end = false;
    try {
        lines.ReadLine(buffer, maxLength + 1, length, end);
    } catch (const KEException& e) {
        // The library never throws: hand back the status the line reader raised with.
        return e.GetAPIErrorCode() < 0 ? e.GetAPIErrorCode() : INITEXT_IO_ERROR;
    }
    *endOfData = (end || length == 0) ? 1 : 0;
    return 0;
}

// The stand-in for the path class's validity test until that class is in this tree: the
// reasons a name can never be opened as a file.
// The path class's validity test, with its reason text.
bool CheckPath(const String& path, DynamicString& reason)
{
    return Path(path).Validate(false, &reason);
}

bool IsRooted(const char* path)
{
    return path[0] == '\\' || path[0] == '/' ||
           (((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':');
}

// A relative path is joined to the current directory before the path class is asked.
bool ConfigurationFileExists(const String& path)
{
    std::string full;
    if (IsRooted(path.GetString())) {
        full = path.GetString();
    } else {
        char directory[260];
        DWORD n = GetCurrentDirectoryA(sizeof directory, directory);
        if (n > 0 && n < sizeof directory)
            full.assign(directory, n);
        // The last character, not the last byte: that may be the trail byte '\\' of a
        // double-byte folder name.
        const char* last = nullptr;
        for (const char* p = full.c_str(), *end = p + full.size(); p < end; p += CharBytes(p, end))
            last = p;
        if (last && *last != '\\')
            full += '\\';
        full += path.GetString();
    }
    return DynamicPath(full.c_str()).FileExists();
}

// The plain length a printable compressed text claims; its header is the first 12 characters.
// Only asked after CompressedStringToString accepted the text, which proves the header whole.
size_t EncodedPlainLength(const char* encoded, size_t count)
{
    unsigned char header[9];
    int characters = count < 12 ? (int)count : 12;
    ZqCompressor::DecodePrintable(encoded, characters, header);
    return ZqCompressor::UncompressSize(header, ZqCompressor::DecodedLength(characters));
}

}  // namespace

// Owns a file opened for reading with plain Win32 calls; the one place a configuration file is
// opened by name, so that the path class can take it over.
class IniFileHandle {
public:
    IniFileHandle() : m_handle(INVALID_HANDLE_VALUE) {}
    ~IniFileHandle() { Close(); }
    IniFileHandle(const IniFileHandle&) = delete;
    IniFileHandle& operator=(const IniFileHandle&) = delete;

    // False with the system's error left in GetLastError.
    bool Open(const String& path)
    {
        Close();
        m_handle = CreateFileA(path.GetString(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return m_handle != INVALID_HANDLE_VALUE;
    }
    void Close()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }
    bool Length(unsigned long long& length) const
    {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(m_handle, &size))
            return false;
        length = (unsigned long long)size.QuadPart;
        return true;
    }
    // Reads until count bytes are in or the file ends; false on a read error.
    bool Read(void* buffer, size_t count, size_t& got)
    {
        got = 0;
        char* out = static_cast<char*>(buffer);
        while (got < count) {
            DWORD want = (DWORD)((count - got) > 0x10000000u ? 0x10000000u : (count - got));
            DWORD n = 0;
            if (!::ReadFile(m_handle, out + got, want, &n, nullptr))
                return false;
            if (n == 0)
                break;
            got += n;
        }
        return true;
    }

private:
    HANDLE m_handle;
};

IniObj::IniObj() : m_reserved{0, 0}, m_filterEnabled(0), m_fromCompressedForm(0)
{
    Create();
}

IniObj::IniObj(const String& path) : m_reserved{0, 0}, m_filterEnabled(0), m_fromCompressedForm(0)
{
    Create();
    ReadFile(path);
}

IniObj::~IniObj() {}

void IniObj::Create()
{
    IniText* configuration = IniText_New();
    if (!configuration)
        Raise("IniObj::Create", KE_OUT_OF_MEMORY, 0, __LINE__);
    m_configuration.reset(configuration);
}

void IniObj::ReadFile(const String& path)
{
    DynamicString reason;
    if (!CheckPath(path, reason)) {
        DynamicString message(GetTableString("ERR_DESCR", "KE_CANT_READ_FILE_ELAB").Text());
        message.ReplaceArgument(path, 1);
        message.Append("\n");
        message.Append(reason);
        RaiseWithText(message, "IniObj::ReadFile", KE_INVALID_PATHNAME, 0, __LINE__);
    }
    if (ReadAsBinary(path))
        return;
    int status = IniText_ReadFromFile(m_configuration.get(), path.GetString());
    if (status == 0)
        return;
    if (!ConfigurationFileExists(path)) {
        DynamicString message(GetTableString("ERR_DESCR", "CANT_FIND_FILE").Text());
        message.ReplaceArgument(path, 1);
        RaiseWithText(message, "IniObj::ReadFile", KE_FILE_NOT_FOUND, 0, __LINE__);
    }
    DynamicString message;
    GetToolStatusDescription(status, message);
    DynamicString where(GetTableString("ERR_DESCR", "KE_CANT_READ_FILE_ELAB").Text());
    where.ReplaceArgument(path, 1);
    message.Append("\n");
    message.Append(where);
    RaiseWithText(message, "IniObj::ReadFile", ErrorCodeFromToolStatus(status), status, __LINE__);
}

bool IniObj::ReadAsBinary(const String& path)
{
    IniFileHandle file;
    if (!file.Open(path))
        Raise("IniObj::ReadAsBinary", KE_UNABLE_TO_OPEN_FILE, (int)GetLastError(), __LINE__);
    unsigned long long length = 0;
    if (!file.Length(length))
        Raise("IniObj::ReadAsBinary", KE_IO_ERROR, (int)GetLastError(), __LINE__);

    char head[kBinaryPrefixBytes];
    size_t got = 0;
    if (!file.Read(head, sizeof head, got))
        Raise("IniObj::ReadAsBinary", KE_IO_ERROR, (int)GetLastError(), __LINE__);
    if (got < sizeof head || memcmp(head, kBinaryMagic, kBinaryMagicBytes) != 0)
        return false;

    // The file is read whole into memory: anything that cannot be held in this process's
    // address space is no configuration this program can use.
    if (length > 0x7FFFFFF0ull)
        Raise("IniObj::ReadAsBinary", KE_OUT_OF_MEMORY, 0, __LINE__);
    if (memcmp(head, kEncodedMagic, kEncodedMagicBytes) == 0)
        ReadEncodedForm(file, head, length);
    else
        ReadBinaryForm(file, head, length);
    m_fromCompressedForm = 1;
    return true;
}

void IniObj::ReadEncodedForm(IniFileHandle& file, const char* head, unsigned long long fileLength)
{
    // The magic stays in front: ReadText tells the form by it and decodes what follows.
    size_t count = (size_t)fileLength;
    std::unique_ptr<char[]> text(new (std::nothrow) char[count + 1]);
    if (!text)
        Raise("IniObj::ReadAsBinary", KE_OUT_OF_MEMORY, 0, __LINE__);
    memcpy(text.get(), head, kBinaryPrefixBytes);
    size_t got = 0;
    if (!file.Read(text.get() + kBinaryPrefixBytes, count - kBinaryPrefixBytes, got))
        Raise("IniObj::ReadAsBinary", KE_IO_ERROR, (int)GetLastError(), __LINE__);
    if (got != count - kBinaryPrefixBytes)
        Raise("IniObj::ReadAsBinary", KE_IO_ERROR, 0, __LINE__);
    text[count] = '\0';
    ReadText(text.get(), count);
}

void IniObj::ReadBinaryForm(IniFileHandle& file, const char* head, unsigned long long fileLength)
{
    // Shorter than its header, or pointing past its own end: the header cannot be trusted.
    if (fileLength < kBinaryHeaderBytes)
        Raise("IniObj::ReadAsBinary", KE_BAD_FILE_FORMAT, 0, __LINE__);
    size_t length = (size_t)fileLength;
    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[length]);
    if (!bytes)
        Raise("IniObj::ReadAsBinary", KE_OUT_OF_MEMORY, 0, __LINE__);
    memcpy(bytes.get(), head, kBinaryPrefixBytes);
    size_t got = 0;
    if (!file.Read(bytes.get() + kBinaryPrefixBytes, length - kBinaryPrefixBytes, got))
        Raise("IniObj::ReadAsBinary", KE_IO_ERROR, (int)GetLastError(), __LINE__);
    if (got != length - kBinaryPrefixBytes)
        Raise("IniObj::ReadAsBinary", KE_IO_ERROR, 0, __LINE__);

    unsigned dataOffset = LittleEndian32(bytes.get() + 20);
    unsigned reserved = LittleEndian32(bytes.get() + 24);
    unsigned plainLength = LittleEndian32(bytes.get() + 28);
    if (reserved != 0 || dataOffset > length)
        Raise("IniObj::ReadAsBinary", KE_BAD_FILE_FORMAT, 0, __LINE__);
    unsigned long streamBytes = (unsigned long)(length - dataOffset);
    // A claim no zlib stream of this size can meet would only make an absurd allocation.
    if (plainLength >= 0x7FFFFFF0u || plainLength > (unsigned long long)streamBytes * kMaxInflateRatio)
        Raise("IniObj::ReadAsBinary", KE_BAD_FILE_FORMAT, 0, __LINE__);

    std::unique_ptr<unsigned char[]> text(new (std::nothrow) unsigned char[(size_t)plainLength + 1]);
    if (!text)
        Raise("IniObj::ReadAsBinary", KE_OUT_OF_MEMORY, 0, __LINE__);
    unsigned long produced = plainLength;
    ZqCompressor::Global().Uncompress(text.get(), &produced, bytes.get() + dataOffset, streamBytes);
    if (produced != plainLength)
        Raise("IniObj::ReadAsBinary", KE_BAD_FILE_FORMAT, 0, __LINE__);
    text[plainLength] = '\0';
    bytes.reset();
    ReadText(reinterpret_cast<const char*>(text.get()), plainLength);
}

void IniObj::ReadString(const String& text)
{
    ReadText(text.GetString(), (size_t)text.GetByteLength());
}

void IniObj::ReadText(const char* text, size_t length)
{
    DynamicString decoded;
    if (length >= kEncodedMagicBytes && memcmp(text, kEncodedMagic, kEncodedMagicBytes) == 0) {
        // Only read through a const String&; the buffer is never written.
        BufferString encoded(const_cast<char*>(text + kEncodedMagicBytes), 0);
        ZqCompressor::Global().CompressedStringToString(encoded, decoded);
        length = EncodedPlainLength(text + kEncodedMagicBytes, length - kEncodedMagicBytes);
        text = decoded.GetString();
        m_fromCompressedForm = 1;
    }
    MemoryStreamBuf buffer(text, length);
    std::istream in(&buffer);
    LineStream lines(in);
    LineStreamContext context = {&lines};
    int status = IniText_ReadGeneric(m_configuration.get(), ReadFromLineStream, &context);
    if (status != 0)
        RaiseLibraryStatus(status, "IniObj::ReadString", __LINE__);
}

bool IniObj::Get(const char* section, const char* tag, bool& value, bool& wellFormed) const
{
    int stored = 0;
    int result = IniText_GetBoolean(m_configuration.get(), section, tag, &stored);
    if (result == 0 || result == 1) {
        wellFormed = true;
        if (result == 1)
            value = stored != 0;
        return result == 1;
    }
    if (result == INITEXT_INVALID_BOOLEAN) {
        wellFormed = false;
        return false;
    }
    RaiseLibraryStatus(result, "IniObj::Get", __LINE__);
}

bool IniObj::Get(const char* section, const char* tag, bool& value) const
{
    bool wellFormed = true;
    return Get(section, tag, value, wellFormed);
}
