#include "INIOBJ.h"

#include "PATH.h"

#include <windows.h>
#include <mbctype.h>
#include <stdio.h>
#include <string.h>

#include <deque>
#include <istream>
#include <new>
#include <streambuf>
#include <string>
#include <vector>

#include "AnsiText.h"
#include "Compressor.h"
#include "ErrorTables.h"
#include "KEException.h"
#include "LINESTRM.h"
#include "LineBytes.h"

// =============================================================================================
// The configuration library

namespace {

// Tags and values live in the configuration's two TextArenas.
struct IniItem {
    const char* tag;    // tagLength bytes, not terminated
    const char* value;  // terminated
    uint32_t valueLength;
    uint16_t tagLength;  // a tag is part of one line, at most kIniMaxLineBytes
    bool quoted;
};
static_assert(kIniMaxLineBytes < 0x10000, "tag lengths");

// The text of every item, in a few large blocks that the configuration owns: a heap block per
// tag and value made reading a large file mostly heap work. Throws std::bad_alloc.
class TextArena {
public:
    // A terminated copy of count bytes.
    char* Copy(const char* text, size_t count)
    {
        char* out = Allocate(count + 1);
        CopyShort(out, text, count);
        out[count] = '\0';
        return out;
    }

    // Appends count bytes to text (length bytes and a terminator) where it lies, when it is the
    // last piece handed out and the block has room behind it; false, changing nothing, otherwise.
    bool AppendToLast(char* text, size_t length, const char* more, size_t count)
    {
        if (text + length + 1 != m_next || count > m_left)
            return false;
        CopyShort(text + length, more, count);
        text[length + count] = '\0';
        m_next += count;
        m_left -= count;
        return true;
    }

    char* Allocate(size_t count)
    {
        // A large piece gets a block of its own, so that the current block's room is not lost.
        if (count > kBlockBytes / 4)
            return NewBlock(count);
        if (count > m_left) {
            m_next = NewBlock(kBlockBytes);
            m_left = kBlockBytes;
        }
        char* out = m_next;
        m_next += count;
        m_left -= count;
        return out;
    }

    // Takes a block the caller no longer needs (its pages already in memory) as the one to fill
    // next; the rest of the current block is given up.
    void Adopt(std::unique_ptr<char[]> block, size_t size)
    {
        m_blocks.push_back(std::move(block));
        m_next = m_blocks.back().get();
        m_left = size;
    }

private:
    static const size_t kBlockBytes = 64 * 1024;

    char* NewBlock(size_t count)
    {
        std::unique_ptr<char[]> block(new char[count]);
        m_blocks.push_back(std::move(block));
        return m_blocks.back().get();
    }

    std::vector<std::unique_ptr<char[]>> m_blocks;
    char* m_next = nullptr;
    size_t m_left = 0;
};

// A section's items are the run [firstItem, firstItem + itemCount) of the configuration's one
// item list: items only ever go to the newest section, so each section's items stay together.
// The list is a deque: it grows without moving what it holds.
struct IniSection {
    std::string name;
    size_t firstItem;
    size_t itemCount;
};

const int kRecentSections = 3;

inline bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The lead bytes of the code page a read runs in, taken once per read: asking the runtime costs
// a thread-data lookup per byte, which was most of the time spent reading a large file.
struct LeadBytes {
    bool lead[256];
    bool any;

    LeadBytes() : any(false)
    {
        for (int c = 0; c < 256; ++c) {
            lead[c] = c >= 0x80 && _ismbblead(c) != 0;
            any = any || lead[c];
        }
    }
};

// Bytes of the character at p: a lead byte with its trail byte is one character, so that a
// trail byte that happens to equal ']' or '=' is never taken for one.
inline int CharBytes(const LeadBytes& leads, const char* p, const char* end)
{
    return (p + 1 < end && leads.lead[(unsigned char)*p]) ? 2 : 1;
}

void TrimmedRange(const LeadBytes& leads, const char*& begin, const char*& end)
{
    while (begin < end && IsWhite(*begin))
        ++begin;
    if (!leads.any) {
        while (end > begin && IsWhite(end[-1]))
            --end;
        return;
    }
    // A trail byte is only known as one from its lead byte, so the last character is found
    // walking forward.
    const char* lastEnd = begin;
    for (const char* p = begin; p < end;) {
        int n = CharBytes(leads, p, end);
        if (!IsWhite(*p))
            lastEnd = p + n;
        p += n;
    }
    end = lastEnd;
}

// The first occurrence of pattern that starts on a character boundary.
const char* FindOnBoundary(const LeadBytes& leads, const char* begin, const char* end, const char* pattern,
                           int patternBytes)
{
    if (patternBytes <= 0)
        return begin;
    if (end - begin < patternBytes)
        return nullptr;
    const char first = pattern[0];
    if (!leads.any) {
        const char* last = end - patternBytes;
        for (const char* p = FindByte(begin, last + 1, first); p <= last; p = FindByte(p + 1, last + 1, first)) {
            if (patternBytes == 1 || memcmp(p + 1, pattern + 1, size_t(patternBytes - 1)) == 0)
                return p;
        }
        return nullptr;
    }
    for (const char* p = begin; end - p >= patternBytes; p += CharBytes(leads, p, end)) {
        if (*p == first && (patternBytes == 1 || memcmp(p + 1, pattern + 1, size_t(patternBytes - 1)) == 0))
            return p;
    }
    return nullptr;
}

// The last character equal to c; c is a single byte below 0x80, which a trail byte can equal
// but a lead byte cannot.
const char* FindLastOnBoundary(const LeadBytes& leads, const char* begin, const char* end, char c)
{
    if (!leads.any) {
        for (const char* p = end; p > begin; --p) {
            if (p[-1] == c)
                return p - 1;
        }
        return nullptr;
    }
    const char* last = nullptr;
    for (const char* p = begin; p < end; p += CharBytes(leads, p, end)) {
        if (*p == c)
            last = p;
    }
    return last;
}

bool EqualsIgnoringCase(const IniItem& item, const char* word)
{
    // The "C" locale's case folding: ASCII letters only.
    size_t n = strlen(word);
    if (item.valueLength != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char a = item.value[i], b = word[i];
        if (a >= 'A' && a <= 'Z') a = (char)(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = (char)(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

// A continuation item's tag is "<name> Line<digits>"; the digits must fit a signed 32-bit int.
bool ContinuationNumber(const LeadBytes& leads, const char* tag, size_t length, size_t& prefixBytes,
                        long long& number)
{
    static const char kMarker[] = " Line";
    const size_t markerBytes = sizeof kMarker - 1;
    // On a character boundary: in a double-byte page "\x83 " is one character, not a blank.
    const char* found = FindOnBoundary(leads, tag, tag + length, kMarker, (int)markerBytes);
    if (!found)
        return false;
    size_t at = size_t(found - tag);
    size_t digits = at + markerBytes;
    if (digits >= length)
        return false;
    long long n = 0;
    for (size_t i = digits; i < length; ++i) {
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

struct ValuePiece {
    const char* text;
    uint32_t length;
};

// Long values are stored as runs "Tag Line1", "Tag Line2", ...; a run starts at number 1 and
// takes every directly following continuation item not numbered 1, within one section. They are
// joined while reading: the first item of the open run is kept (its tag cut before " Line"), the
// values of the later ones wait in the value arena until the run ends, and those items are never
// made.
struct OpenRun {
    IniItem* first = nullptr;
    std::vector<ValuePiece> pieces;
};

// The pieces that had to wait (ParseLine) are copied into their arena one after the other, so
// they usually lie back to back, each behind the previous one's terminator: then they are joined
// where they lie. Otherwise (an arena block ended inside the run) the joined value is a new
// copy. Throws std::bad_alloc; the run is closed either way.
void CloseRun(OpenRun& run, TextArena& values)
{
    IniItem* first = run.first;
    run.first = nullptr;
    if (!first || run.pieces.empty()) {
        run.pieces.clear();
        return;
    }
    size_t joinedLength = first->valueLength;
    bool adjacent = true;
    const char* next = first->value + first->valueLength + 1;
    for (const ValuePiece& piece : run.pieces) {
        joinedLength += piece.length;
        adjacent = adjacent && piece.text == next;
        next = piece.text + piece.length + 1;
    }
    char* joined = const_cast<char*>(first->value);
    if (!adjacent) {
        try {
            joined = values.Allocate(joinedLength + 1);
        } catch (const std::bad_alloc&) {
            run.pieces.clear();
            throw;
        }
        CopyShort(joined, first->value, first->valueLength);
    }
    // Each piece moves towards the front or into the new place, both of which CopyShort allows.
    char* out = joined + first->valueLength;
    for (const ValuePiece& piece : run.pieces) {
        CopyShort(out, piece.text, piece.length);
        out += piece.length;
    }
    *out = '\0';
    first->value = joined;
    first->valueLength = uint32_t(joinedLength);
    run.pieces.clear();
}

}  // namespace

struct IniText {
    // A deque: sections stay where they are (recent and the reader point at them) and come
    // without a heap block each.
    std::deque<IniSection> sections;
    // Newest first; looked at before any search of the list.
    IniSection* recent[kRecentSections];
    bool sorted;
    char separator[8];
    int separatorLength;
    char writtenSeparator[10];
    char sectionOpen[2];
    char sectionClose[2];
    char commentMarker[8];
    // Every section's items, section after section.
    std::deque<IniItem> items;
    // Values apart from tags, so that a run's values lie back to back (JoinValues).
    TextArena tags;
    TextArena values;
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

// What a read carries from line to line.
struct ReadState {
    IniSection* current = nullptr;  // where items go; none before the first header
    OpenRun run;
};

// Classifies one line and adds what it holds. Throws std::bad_alloc only.
void ParseLine(IniText& configuration, const LeadBytes& leads, ReadState& state, const char* line, size_t length)
{
    const char* p = line;
    const char* end = line + length;
    while (p < end && IsWhite(*p))
        ++p;
    if (p == end)
        return;
    const char* marker = configuration.commentMarker;
    size_t matched = 0;
    while (marker[matched] && p + matched < end && p[matched] == marker[matched])
        ++matched;
    if (!marker[matched])
        return;  // a comment

    if (*p == configuration.sectionOpen[0]) {
        const char* close = FindLastOnBoundary(leads, p + 1, end, configuration.sectionClose[0]);
        if (!close)
            return;
        for (const char* q = close + 1; q < end; ++q) {
            if (!IsWhite(*q))
                return;
        }
        const char* nameBegin = p + 1;
        const char* nameEnd = close;
        TrimmedRange(leads, nameBegin, nameEnd);
        if (nameBegin == nameEnd)
            return;
        CloseRun(state.run, configuration.values);
        configuration.sections.emplace_back();
        IniSection& section = configuration.sections.back();
        section.firstItem = configuration.items.size();
        section.itemCount = 0;
        try {
            section.name.assign(nameBegin, nameEnd);
        } catch (const std::bad_alloc&) {
            configuration.sections.pop_back();
            throw;
        }
        state.current = &section;
        return;
    }

    const char* separator = FindOnBoundary(leads, p, end, configuration.separator, configuration.separatorLength);
    if (!separator || !state.current)
        return;
    const char* tagBegin = p;
    const char* tagEnd = separator;
    const char* valueBegin = separator + configuration.separatorLength;
    const char* valueEnd = end;
    TrimmedRange(leads, tagBegin, tagEnd);
    TrimmedRange(leads, valueBegin, valueEnd);
    if (tagBegin == tagEnd || valueBegin == valueEnd)
        return;
    bool quoted = valueEnd - valueBegin >= 2 && valueBegin[0] == '"' && valueEnd[-1] == '"';
    if (quoted) {
        ++valueBegin;
        --valueEnd;
    }
    const uint32_t valueLength = uint32_t(valueEnd - valueBegin);
    size_t prefix = 0;
    long long number = 0;
    bool continuation = ContinuationNumber(leads, tagBegin, size_t(tagEnd - tagBegin), prefix, number);
    if (continuation && number != 1 && state.run.first) {
        // Straight onto the run's value while that is the newest text in its block; once a
        // piece had to wait elsewhere, the rest wait too, to keep their order.
        IniItem& first = *state.run.first;
        if (state.run.pieces.empty() &&
            configuration.values.AppendToLast(const_cast<char*>(first.value), first.valueLength, valueBegin,
                                              valueLength)) {
            first.valueLength += valueLength;
            return;
        }
        ValuePiece piece = {configuration.values.Copy(valueBegin, valueLength), valueLength};
        state.run.pieces.push_back(piece);
        return;
    }
    CloseRun(state.run, configuration.values);
    IniItem item;
    item.tagLength = uint16_t(continuation && number == 1 ? prefix : size_t(tagEnd - tagBegin));
    item.tag = configuration.tags.Copy(tagBegin, item.tagLength);
    item.valueLength = valueLength;
    item.value = configuration.values.Copy(valueBegin, valueLength);
    item.quoted = quoted;
    configuration.items.push_back(item);
    ++state.current->itemCount;
    if (continuation && number == 1)
        state.run.first = &configuration.items.back();  // a deque keeps it in place
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
    for (IniSection& section : configuration.sections) {
        if (section.name == name) {
            for (int i = kRecentSections - 1; i > 0; --i)
                configuration.recent[i] = configuration.recent[i - 1];
            configuration.recent[0] = &section;
            return &section;
        }
    }
    return nullptr;
}

}  // namespace

int IniText_ReadGeneric(IniText* configuration, IniText_LineSupplier supplier, void* context)
{
    if (!configuration || !supplier)
        return INITEXT_IO_ERROR;
    ReadState state;
    int status = 0;
    // Set whole once, so that TextLengthInBuffer reads only bytes that were written.
    char buffer[kIniLineBufferBytes] = {};
    static_assert(kIniLineBufferBytes % 4 == 0, "the line buffer is read in words");
    const LeadBytes leads;
    try {
        for (;;) {
            int endOfData = 0, lineNumber = 0;
            buffer[0] = '\0';
            status = supplier(context, buffer, kIniMaxLineBytes, &endOfData, &lineNumber);
            if (status != 0 || endOfData)
                break;
            // A supplier that overfills is not trusted past the buffer's end.
            buffer[kIniLineBufferBytes - 1] = '\0';
            ParseLine(*configuration, leads, state, buffer, TextLengthInBuffer(buffer));
        }
    } catch (const std::bad_alloc&) {
        status = INITEXT_OUT_OF_MEMORY;
    }
    // What was read stays, also after an error; its last run is joined like every other.
    try {
        CloseRun(state.run, configuration->values);
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
    size_t tagLength = strlen(tag);
    for (size_t i = found->firstItem; i < found->firstItem + found->itemCount; ++i) {
        const IniItem& item = configuration->items[i];
        if (item.tagLength == tagLength && memcmp(item.tag, tag, tagLength) == 0)
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
    *value = item->value;
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
    for (size_t i = 0; i < found->valueLength; ++i)
        blank = blank && IsWhite(found->value[i]);
    if (blank)
        return 0;
    if (EqualsIgnoringCase(*found, "True"))
        *value = 1;
    else if (EqualsIgnoringCase(*found, "False"))
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
        // Taken wide: the ANSI current directory is a look-alike where the code page lacks a
        // character of its name; its short name is the directory itself.
        wchar_t directory[260];
        DWORD n = GetCurrentDirectoryW(260, directory);
        if (n > 0 && n < 260)
            full = AnsiPath::FromWide(std::wstring(directory, n)).Text();
        // The last character, not the last byte: that may be the trail byte '\\' of a
        // double-byte folder name.
        const LeadBytes leads;
        const char* last = nullptr;
        for (const char* p = full.c_str(), *end = p + full.size(); p < end; p += CharBytes(leads, p, end))
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
    // Decoded where it lies, without a second buffer; as a terminated text, it ends at a NUL.
    char* encoded = text.get() + kEncodedMagicBytes;
    size_t encodedCount = TextLength(encoded, count - kEncodedMagicBytes);
    DynamicString decoded;
    size_t plainLength = ZqCompressor::Global().CompressedTextToString(encoded, (int)encodedCount, decoded);
    m_fromCompressedForm = 1;
    ParseText(decoded.GetString(), plainLength, std::move(text), count + 1);
}

void IniObj::ReadBinaryForm(IniFileHandle& source, const char* head, unsigned long long fileLength)
{
    // Shorter than its header, or pointing past its own end: the header cannot be trusted.
    if (fileLength < kBinaryHeaderBytes)
        Raise("IniObj::ReadAsBinary", KE_BAD_FILE_FORMAT, 0, __LINE__);
    size_t length = (size_t)fileLength;
    std::unique_ptr<char[]> file(new (std::nothrow) char[length]);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(file.get());
    if (!bytes)
        Raise("IniObj::ReadAsBinary", KE_OUT_OF_MEMORY, 0, __LINE__);
    memcpy(bytes, head, kBinaryPrefixBytes);
    size_t got = 0;
    if (!source.Read(bytes + kBinaryPrefixBytes, length - kBinaryPrefixBytes, got))
        Raise("IniObj::ReadAsBinary", KE_IO_ERROR, (int)GetLastError(), __LINE__);
    if (got != length - kBinaryPrefixBytes)
        Raise("IniObj::ReadAsBinary", KE_IO_ERROR, 0, __LINE__);

    unsigned dataOffset = LittleEndian32(bytes + 20);
    unsigned reserved = LittleEndian32(bytes + 24);
    unsigned plainLength = LittleEndian32(bytes + 28);
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
    ZqCompressor::Global().Uncompress(text.get(), &produced, bytes + dataOffset, streamBytes);
    if (produced != plainLength)
        Raise("IniObj::ReadAsBinary", KE_BAD_FILE_FORMAT, 0, __LINE__);
    text[plainLength] = '\0';
    ReadText(reinterpret_cast<const char*>(text.get()), plainLength, std::move(file), length);
}

void IniObj::ReadString(const String& text)
{
    ReadText(text.GetString(), (size_t)text.GetByteLength());
}

void IniObj::ReadText(const char* text, size_t length, std::unique_ptr<char[]> scratch, size_t scratchBytes)
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
    ParseText(text, length, std::move(scratch), scratchBytes);
}

void IniObj::ParseText(const char* text, size_t length, std::unique_ptr<char[]> scratch, size_t scratchBytes)
{
    // The compressed file's buffer is done with: the values read go into its pages, which are
    // in memory already, instead of into new ones.
    if (scratch && scratchBytes > 0)
        m_configuration->values.Adopt(std::move(scratch), scratchBytes);
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
