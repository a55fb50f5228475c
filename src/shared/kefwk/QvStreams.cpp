#include "QvStreams.h"

#include <stdlib.h>
#include <string.h>

#include <errno.h>
#include <float.h>
#include <math.h>

#include <algorithm>
#include <random>

#include "ErrorTables.h"
#include "FormattedNumber.h"
#include "KEException.h"
#include "PATH.h"

namespace {

// Large transfers are split: ReadFile and WriteFile take 32-bit counts, and very large single
// requests fail on some file systems.
const uint32_t kPiece = 0x40000000;

[[noreturn]] void ThrowSystemError(const char* function, DWORD apiError, int line)
{
    ThrowKEException(nullptr, function, ErrorCodeFromSystemError(apiError), (int)apiError, KE_SOURCE_FILE, line,
                     __TIME__);
}

[[noreturn]] void ThrowCode(const char* function, int code, int line)
{
    ThrowKEException(nullptr, function, code, 0, KE_SOURCE_FILE, line, __TIME__);
}

// The delay before the next attempt to open a busy file: 75 ms and a uniform part below 25 ms, so
// that processes waiting for the same file do not keep colliding.
DWORD RetryDelay()
{
    static thread_local std::minstd_rand engine(GetTickCount() ^ GetCurrentThreadId());
    std::uniform_real_distribution<double> spread(0.0, 25.0);
    return 75 + (DWORD)spread(engine);
}

bool IsReadingType(int type) { return type == QV_STREAM_READ; }

} // namespace

// ---------------------------------------------------------------------------------------------
// Process clock

double GetProcessClockSeconds()
{
    static CRITICAL_SECTION* lock = [] {
        static CRITICAL_SECTION section;
        InitializeCriticalSection(&section);
        return &section;
    }();
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        if (!QueryPerformanceFrequency(&f))
            f.QuadPart = 0;
        return f;
    }();
    static bool haveBase = false;
    static double base = 0.0;

    EnterCriticalSection(lock);
    double now;
    if (frequency.QuadPart > 0) {
        LARGE_INTEGER counter;
        counter.QuadPart = -1;
        for (int attempt = 0; attempt < 100; ++attempt) {
            QueryPerformanceCounter(&counter);
            if (counter.QuadPart >= 0)
                break;
        }
        now = (double)counter.QuadPart / (double)frequency.QuadPart;
    } else {
        now = GetTickCount() / 1000.0;
    }
    if (!haveBase) {
        base = now;
        haveBase = true;
    }
    // In a 32-bit build the x87 unit may keep now at 80 bits while base was rounded to 64 when it
    // was stored: the first reading would come out a hair below zero.
    double seconds = now > base ? now - base : 0.0;
    LeaveCriticalSection(lock);
    return seconds;
}

// ---------------------------------------------------------------------------------------------
// QvStream: typed values over the byte operations

#define QV_TYPED(Type, WriteName, ReadName)                                                        \
    void QvStream::WriteName(const char*, Type value) { WriteBytes(&value, sizeof value); }      \
    Type QvStream::ReadName(const char*)                                                          \
    {                                                                                             \
        Type value{};                                                                             \
        ReadBytes(&value, sizeof value, KE_BAD_FILE_FORMAT);                                      \
        return value;                                                                             \
    }

QV_TYPED(int, WriteInt, ReadInt)
QV_TYPED(unsigned, WriteUInt, ReadUInt)
QV_TYPED(double, WriteDouble, ReadDouble)
QV_TYPED(int64_t, WriteInt64, ReadInt64)
QV_TYPED(uint64_t, WriteUInt64, ReadUInt64)
#undef QV_TYPED

void QvStream::WriteBool(const char*, bool value)
{
    unsigned char byte = value ? 1 : 0;
    WriteBytes(&byte, 1);
}

bool QvStream::ReadBool(const char*)
{
    unsigned char byte = 0;
    ReadBytes(&byte, 1, KE_BAD_FILE_FORMAT);
    return byte != 0;
}

// ---------------------------------------------------------------------------------------------
// QvBinaryFileStream

QvBinaryFileStream::QvBinaryFileStream(const char* path, double retryTimeoutSeconds, int streamType)
    : m_streamType(QV_STREAM_NONE), m_file(INVALID_HANDLE_VALUE), m_path(path ? path : ""),
      m_retryTimeout(retryTimeoutSeconds), m_shareDelete(false), m_longPath(false)
{
    OpenWithRetry(streamType);
}

QvBinaryFileStream::~QvBinaryFileStream() { Close(); }

void QvBinaryFileStream::Close()
{
    if (m_file != INVALID_HANDLE_VALUE) {
        CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
    }
}

std::wstring QvBinaryFileStream::ConvertPathAsNeeded() const
{
    std::wstring wide;
    if (m_longPath)
        wide = *DynamicPath(m_path).ConvertForLongPathCalls();
    else
        wide = WidenPathText(m_path.GetString());
    if (wide.empty())
        ThrowCode("QvBinaryFileStream::ConvertPathAsNeeded", KE_OUT_OF_MEMORY, __LINE__);
    return wide;
}

void QvBinaryFileStream::OpenWithNoRetry(int streamType)
{
    if (streamType < QV_STREAM_READ || streamType > QV_STREAM_NONE)
        ThrowAssertion("Invalid streamType passed into QvBinaryFileStream::QvBinaryFileStream()",
                       "QvBinaryFileStream::OpenWithNoRetry", KE_SOURCE_FILE, __LINE__, __TIME__);
    std::wstring wide = ConvertPathAsNeeded();
    m_streamType = streamType;
    Close();
    if (streamType == QV_STREAM_NONE)
        return;

    DWORD access = 0, disposition = 0;
    switch (streamType) {
    case QV_STREAM_READ: access = GENERIC_READ; disposition = OPEN_EXISTING; break;
    case QV_STREAM_WRITE: access = GENERIC_WRITE; disposition = OPEN_ALWAYS; break;
    case QV_STREAM_READ_WRITE: access = GENERIC_READ | GENERIC_WRITE; disposition = OPEN_EXISTING; break;
    case QV_STREAM_WRITE_EMPTIED: access = GENERIC_WRITE; disposition = CREATE_ALWAYS; break;
    default: access = GENERIC_READ | GENERIC_WRITE; disposition = CREATE_ALWAYS; break;
    }
    bool reading = IsReadingType(streamType);
    DWORD share = (reading ? FILE_SHARE_READ : 0) | (m_shareDelete ? FILE_SHARE_DELETE : 0);
    DWORD flags = FILE_ATTRIBUTE_NORMAL | (reading ? FILE_FLAG_SEQUENTIAL_SCAN : 0);

    if (!reading) {
        DynamicPath path(m_path);
        if (path.IsAbsolute()) {
            if (m_longPath)
                path.MakeAllDirectoriesInPathNameLong(false);
            else
                path.MakeAllDirectoriesInPathName(false);
        }
    }
    m_file = CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (m_file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        DynamicString message(
            GetTableString("ERR_DESCR", reading ? "KE_UNABLE_TO_OPEN_FILE_DESC" : "KE_CANT_WRITE_FILE_ELAB").Text());
        message.ReplaceArgument(m_path, 1);
        ThrowKEExceptionWithText(message, "QvBinaryFileStream::OpenWithNoRetry", ErrorCodeFromSystemError(error),
                                 (int)error, KE_SOURCE_FILE, __LINE__, __TIME__);
    }
}

void QvBinaryFileStream::OpenWithRetry(int streamType)
{
    double start = GetProcessClockSeconds();
    for (;;) {
        try {
            OpenWithNoRetry(streamType);
            return;
        } catch (const KEException& e) {
            bool busy = e.GetErrorCode() == KE_ACCESS_DENIED || e.GetErrorCode() == KE_SHARING_VIOLATION;
            if (!busy || GetProcessClockSeconds() - start >= m_retryTimeout)
                throw;
        }
        Sleep(RetryDelay());
    }
}

void QvBinaryFileStream::SetStreamType(int streamType)
{
    if (streamType != m_streamType)
        OpenWithRetry(streamType);
}

int QvBinaryFileStream::GetStreamType() const { return m_streamType; }

uint64_t QvBinaryFileStream::GetLargeOffset() const
{
    LARGE_INTEGER zero, position;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(m_file, zero, &position, FILE_CURRENT))
        ThrowSystemError("QvBinaryFileStream::GetLargeOffset", GetLastError(), __LINE__);
    return (uint64_t)position.QuadPart;
}

uint32_t QvBinaryFileStream::GetOffset() const
{
    uint64_t offset = GetLargeOffset();
    if (offset >> 32)
        ThrowKEException("32-BIT SIZE LIMITATION.", "QvBinaryFileStream::GetOffset", KE_UINT32_OVERFLOW, 0,
                         KE_SOURCE_FILE, __LINE__, __TIME__);
    return (uint32_t)offset;
}

void QvBinaryFileStream::SetOffset(uint32_t offset)
{
    LARGE_INTEGER target;
    target.QuadPart = offset;
    if (!SetFilePointerEx(m_file, target, nullptr, FILE_BEGIN))
        ThrowSystemError("QvBinaryFileStream::SetOffset", GetLastError(), __LINE__);
}

void QvBinaryFileStream::TruncateAtCurrentOffset()
{
    if (!SetEndOfFile(m_file))
        ThrowSystemError("QvBinaryFileStream::TruncateAtCurrentOffset", GetLastError(), __LINE__);
}

uint64_t QvBinaryFileStream::GetLargeSize() const
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_file, &size))
        ThrowSystemError("QvBinaryFileStream::GetLargeSize", GetLastError(), __LINE__);
    return (uint64_t)size.QuadPart;
}

uint32_t QvBinaryFileStream::GetSize() const
{
    uint64_t size = GetLargeSize();
    if (size >> 32)
        ThrowKEException("32-BIT SIZE LIMITATION.", "QvBinaryFileStream::GetSize", KE_UINT32_OVERFLOW, 0,
                         KE_SOURCE_FILE, __LINE__, __TIME__);
    return (uint32_t)size;
}

void QvBinaryFileStream::WriteBytes(const void* buffer, uint32_t count)
{
    const char* p = static_cast<const char*>(buffer);
    while (count > 0) {
        DWORD piece = std::min(count, kPiece), written = 0;
        if (!WriteFile(m_file, p, piece, &written, nullptr))
            ThrowSystemError("QvBinaryFileStream::WriteBytes", GetLastError(), __LINE__);
        // A successful write of nothing would loop for ever.
        if (written == 0)
            ThrowCode("QvBinaryFileStream::WriteBytes", KE_IO_ERROR, __LINE__);
        p += written;
        count -= written;
    }
}

uint32_t QvBinaryFileStream::ReadBytes(void* buffer, uint32_t count, int errorCode)
{
    char* p = static_cast<char*>(buffer);
    uint32_t total = 0;
    while (total < count) {
        DWORD piece = std::min(count - total, kPiece), read = 0;
        if (!ReadFile(m_file, p + total, piece, &read, nullptr))
            ThrowSystemError("QvBinaryFileStream::ReadBytes", GetLastError(), __LINE__);
        total += read;
        if (read < piece)
            break;
    }
    if (total < count && errorCode != 0)
        ThrowCode("QvBinaryFileStream::ReadBytes", errorCode, __LINE__);
    return total;
}

void QvBinaryFileStream::WriteString(const char*, const String& text, bool, bool)
{
    WriteBytes(text.GetString(), (uint32_t)text.GetSize());
}

namespace {

// The bytes exactly as stored, a double-byte lead byte at the very end included: a stream gives
// back the text it was given. Only a target too small for them cuts, at a whole character.
void AssignStoredBytes(String& out, const char* bytes, size_t count)
{
    out.Assign(std::string(bytes, count).c_str());
}

}  // namespace

bool QvBinaryFileStream::ReadString(const char*, String& out)
{
    out.Empty();
    std::string bytes;
    for (;;) {
        char c = 0;
        ReadBytes(&c, 1, KE_BAD_FILE_FORMAT);
        if (c == '\0')
            break;
        bytes += c;
    }
    AssignStoredBytes(out, bytes.data(), bytes.size());
    return true;
}

void QvBinaryFileStream::WriteStream(QvStream& source, uint32_t start, uint32_t count)
{
    uint32_t size = source.GetSize();
    if (size < start)
        ThrowAssertion("invalid starting offset in QvBinaryFileStream::WriteStream", "QvBinaryFileStream::WriteStream",
                       KE_SOURCE_FILE, __LINE__, __TIME__);
    QvMemoryStream* memory = dynamic_cast<QvMemoryStream*>(&source);
    if (!memory)
        ThrowAssertion("Stream type not support by QvBinaryFileStream::WriteStream.",
                       "QvBinaryFileStream::WriteStream", KE_SOURCE_FILE, __LINE__, __TIME__);
    uint32_t n = std::min(count, size - start);
    if (n > 0)
        WriteBytes(memory->GetData() + start, n);
}

// ---------------------------------------------------------------------------------------------
// QvMemoryStream

QvMemoryStream::QvMemoryStream() : m_offset(0), m_length(0), m_capacity(0), m_data(nullptr), m_table(nullptr) {}

QvMemoryStream::~QvMemoryStream() { free(m_data); }

uint32_t QvMemoryStream::GetOffset() const { return m_offset; }
uint64_t QvMemoryStream::GetLargeOffset() const { return m_offset; }
uint32_t QvMemoryStream::GetSize() const { return m_length; }
uint64_t QvMemoryStream::GetLargeSize() const { return m_length; }
void QvMemoryStream::SetOffset(uint32_t offset) { m_offset = offset; }

void QvMemoryStream::TruncateAtCurrentOffset()
{
    if (m_offset > m_length)
        ThrowAssertion("Current offset past end of stream in QvMemoryStream::TruncateAtCurrentOffset",
                       "QvMemoryStream::TruncateAtCurrentOffset", KE_SOURCE_FILE, __LINE__, __TIME__);
    m_length = m_offset;
}

void QvMemoryStream::PrepareStreamForWrite(uint32_t count)
{
    uint32_t needed = m_offset + count;
    if (needed < m_offset)
        ThrowCode("QvMemoryStream::PrepareStreamForWrite", KE_OUT_OF_MEMORY, __LINE__);
    if (needed > m_capacity) {
        uint32_t twice = m_capacity > 0x7FFFFFFF ? 0xFFFFFFFF : m_capacity * 2;
        uint32_t capacity = std::max(needed, twice);
        void* block = realloc(m_data, capacity);
        if (!block)
            ThrowCode("QvMemoryStream::PrepareStreamForWrite", KE_OUT_OF_MEMORY, __LINE__);
        m_data = static_cast<unsigned char*>(block);
        m_capacity = capacity;
    }
    if (needed > m_length) {
        // Writing after a SetOffset beyond the end leaves a gap: zeros, not stale memory.
        if (m_offset > m_length)
            memset(m_data + m_length, 0, m_offset - m_length);
        m_length = needed;
    }
}

void QvMemoryStream::Put(const void* bytes, uint32_t count)
{
    PrepareStreamForWrite(count);
    if (count)
        memmove(m_data + m_offset, bytes, count);
    m_offset += count;
}

// A typed value must lie wholly within the content; otherwise nothing moves.
void QvMemoryStream::Take(void* bytes, uint32_t count, const char* function)
{
    if (m_offset > m_length || m_length - m_offset < count)
        ThrowCode(function, KE_BAD_FILE_FORMAT, __LINE__);
    memcpy(bytes, m_data + m_offset, count);
    m_offset += count;
}

void QvMemoryStream::WriteBytes(const void* buffer, uint32_t count) { Put(buffer, count); }

uint32_t QvMemoryStream::ReadBytes(void* buffer, uint32_t count, int errorCode)
{
    uint32_t available = m_offset < m_length ? m_length - m_offset : 0;
    uint32_t n = std::min(count, available);
    if (n < count && errorCode != 0)
        ThrowCode("QvMemoryStream::ReadBytes", errorCode, __LINE__);
    if (n)
        memcpy(buffer, m_data + m_offset, n);
    m_offset += n;
    return n;
}

#define QV_MEMORY_TYPED(Type, WriteName, ReadName)                                                 \
    void QvMemoryStream::WriteName(const char*, Type value) { Put(&value, sizeof value); }        \
    Type QvMemoryStream::ReadName(const char*)                                                     \
    {                                                                                              \
        Type value{};                                                                              \
        Take(&value, sizeof value, "QvMemoryStream::" #ReadName);                                  \
        return value;                                                                              \
    }

QV_MEMORY_TYPED(int, WriteInt, ReadInt)
QV_MEMORY_TYPED(unsigned, WriteUInt, ReadUInt)
QV_MEMORY_TYPED(double, WriteDouble, ReadDouble)
QV_MEMORY_TYPED(int64_t, WriteInt64, ReadInt64)
QV_MEMORY_TYPED(uint64_t, WriteUInt64, ReadUInt64)
#undef QV_MEMORY_TYPED

void QvMemoryStream::WriteBool(const char*, bool value)
{
    unsigned char byte = value ? 1 : 0;
    Put(&byte, 1);
}

bool QvMemoryStream::ReadBool(const char*)
{
    unsigned char byte = 0;
    Take(&byte, 1, "QvMemoryStream::ReadBool");
    return byte != 0;
}

void QvMemoryStream::WriteString(const char* name, const String& text, bool, bool)
{
    if (m_table)
        WriteInt(name, m_table->GetIndexForString(text.GetString()));
    else
        Put(text.GetString(), (uint32_t)text.GetSize());
}

bool QvMemoryStream::ReadString(const char* name, String& out)
{
    if (m_table)
        out.Assign(m_table->GetStringForIndex(ReadInt(name)));
    else
        ReadStringRaw(out);
    return true;
}

void QvMemoryStream::ReadStringRaw(String& out)
{
    if (m_offset >= m_length)
        ThrowCode("QvMemoryStream::ReadStringRaw", KE_BAD_FILE_FORMAT, __LINE__);
    const unsigned char* start = m_data + m_offset;
    const void* nul = memchr(start, 0, m_length - m_offset);
    if (!nul)
        ThrowCode("QvMemoryStream::ReadStringRaw", KE_BAD_FILE_FORMAT, __LINE__);
    uint32_t n = (uint32_t)(static_cast<const unsigned char*>(nul) - start);
    AssignStoredBytes(out, reinterpret_cast<const char*>(start), n);
    m_offset += n + 1;
}

void QvMemoryStream::WriteStream(QvStream& source, uint32_t start, uint32_t count)
{
    uint32_t size = source.GetSize();
    if (start > size)
        ThrowAssertion("invalid starting offset in QvMemoryStream::WriteStream", "QvMemoryStream::WriteStream",
                       KE_SOURCE_FILE, __LINE__, __TIME__);
    uint32_t n = std::min(count, size - start);
    if (QvMemoryStream* memory = dynamic_cast<QvMemoryStream*>(&source)) {
        uint32_t offset = m_offset;
        PrepareStreamForWrite(n);
        // Preparing may move this block; the source may be this very stream.
        if (n)
            memmove(m_data + offset, memory->m_data + start, n);
        m_offset += n;
        return;
    }
    QvBinaryFileStream* file = dynamic_cast<QvBinaryFileStream*>(&source);
    if (!file)
        ThrowAssertion("Stream type not support by QvMemoryStream::WriteStream.", "QvMemoryStream::WriteStream",
                       KE_SOURCE_FILE, __LINE__, __TIME__);
    uint32_t saved = file->GetOffset();
    uint32_t length = m_length;
    PrepareStreamForWrite(n);
    file->SetOffset(start);
    uint32_t read = file->ReadBytes(m_data + m_offset, n, 0);
    file->SetOffset(saved);
    if (read < n) {
        m_length = length;
        ThrowCode("QvMemoryStream::WriteStream", KE_BAD_FILE_FORMAT, __LINE__);
    }
    m_offset += n;
}

// ---------------------------------------------------------------------------------------------
// QvStringTable

QvStringTable::QvStringTable() : m_buckets(kBuckets) {}
QvStringTable::~QvStringTable() {}

unsigned QvStringTable::BucketOf(const char* text, size_t length)
{
    uint32_t w0 = 0, w1 = 0;
    if (length > 7) {
        memcpy(&w0, text, 4);
        memcpy(&w1, text + 4, 4);
        return (uint32_t)(w0 + w1) % kBuckets;
    }
    if (length >= 4) {
        memcpy(&w0, text, 4);
        return w0 % kBuckets;
    }
    return (uint32_t)(int32_t)(signed char)text[0] % kBuckets;
}

int QvStringTable::GetIndexForString(const char* text)
{
    if (!text || !*text)
        return -1;
    size_t length = strlen(text);
    std::unique_ptr<std::map<std::string, int>>& bucket = m_buckets[BucketOf(text, length)];
    if (!bucket)
        bucket.reset(new std::map<std::string, int>);
    std::string key(text, length);
    auto found = bucket->find(key);
    if (found != bucket->end())
        return found->second;
    int index = (int)m_texts.size();
    m_texts.emplace_back(text);
    (*bucket)[key] = index;
    return index;
}

const DynamicString& QvStringTable::GetStringForIndex(int index) const
{
    static const DynamicString* empty = new DynamicString;
    if (index < 0)
        return *empty;
    if (index >= (int)m_texts.size())
        ThrowCode("QvStringTable::GetStringForIndex", KE_BAD_FILE_FORMAT, __LINE__);
    return m_texts[index];
}

// ---------------------------------------------------------------------------------------------
// XML attribute-list text form

namespace {

bool IsXmlSpace(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Values convert as the framework's number conversions do, since files written by other
// programs may rely on it: blanks around the number are passed and text after it is ignored.
// A number outside the type's range, and a negative text read as unsigned, are refused rather
// than wrapped into another value.
bool ConvertInt(const String& text, int& out)
{
    long value;
    int end = 0;
    errno = 0;
    if (!text.ToLong(value, 0, end) || errno == ERANGE)
        return false;
    out = (int)value;
    return true;
}

bool StartsWithMinus(const String& text)
{
    const char* p = text.GetString();
    while (IsXmlSpace((unsigned char)*p))
        ++p;
    return *p == '-';
}

bool ConvertUInt(const String& text, unsigned& out)
{
    unsigned long value;
    int end = 0;
    errno = 0;
    // The run-time library takes "-1" as the largest unsigned value.
    if (StartsWithMinus(text) || !text.ToULong(value, end) || errno == ERANGE)
        return false;
    out = (unsigned)value;
    return true;
}

bool ConvertInt64(const String& text, int64_t& out)
{
    int64_t value;
    int used = 0;
    errno = 0;
    if (!text.ToInt64(value, used) || errno == ERANGE)
        return false;
    // Positive texts are converted as unsigned, so a value above the signed range wraps.
    if (!StartsWithMinus(text) && value < 0)
        return false;
    out = value;
    return true;
}

bool ConvertUInt64(const String& text, uint64_t& out)
{
    int64_t value;
    int used = 0;
    errno = 0;
    if (StartsWithMinus(text) || !text.ToInt64(value, used) || errno == ERANGE)
        return false;
    out = (uint64_t)value;
    return true;
}

bool ConvertDouble(const String& text, double& out)
{
    int used = 0;
    if (text.ToDouble(out, used))
        return true;
    // Sixteen digits round the largest doubles up past the range ("1.797693134862316e+308"),
    // and the framework's parser refuses subnormal values; both are values this stream writes
    // itself, so they must read back, with blanks around them as any number.
    DynamicString trimmed(text);
    trimmed.Trim();
    const char* s = trimmed.GetString();
    const char* end = s;
    errno = 0;
    double value = String::ParseDouble(s, &end);
    if (errno != ERANGE)
        return false;
    if (end != s) {
        DynamicString largest;
        largest.Append(value < 0 ? -DBL_MAX : DBL_MAX, 3, "%.16g");
        if (strcmp(largest.GetString(), s) != 0)
            return false;
        out = value < 0 ? -DBL_MAX : DBL_MAX;
        return true;
    }
    if (strspn(s, "+-0123456789.eE") != strlen(s))
        return false;
    char* stop;
    double tiny = strtod(s, &stop);
    if (stop == s || *stop != '\0' || !(fabs(tiny) < DBL_MIN))
        return false;
    out = tiny;
    return true;
}

// Letters compared as in the "C" locale, whatever locale the process has set.
bool EqualsIgnoringAsciiCase(const char* s, const char* lower)
{
    for (; *s && *lower; ++s, ++lower) {
        char c = (*s >= 'A' && *s <= 'Z') ? char(*s - 'A' + 'a') : *s;
        if (c != *lower)
            return false;
    }
    return *s == *lower;
}

bool ConvertBool(const String& text, bool& out)
{
    const char* s = text.GetString();
    if (EqualsIgnoringAsciiCase(s, "true") || strcmp(s, "1") == 0)
        out = true;
    else if (EqualsIgnoringAsciiCase(s, "false") || strcmp(s, "0") == 0)
        out = false;
    else
        return false;
    return true;
}

[[noreturn]] void ThrowNotSupported(const char* function)
{
    ThrowCode(function, KE_OPERATION_FAILED, __LINE__);
}

} // namespace

void ThrowFileFormatErrorWithLocationInfo(const char* errorTag, const char* itemName, uint32_t line, uint32_t offset,
                                          int64_t lineStart)
{
    DynamicString message(GetTableString("ERR_DESCR", errorTag).Text());
    char number[32];
    // The item comes from the text being read and may itself hold "%2" or "%3": it goes in last.
    FormatToBuffer(number, sizeof number, "%I64d", (int64_t)offset - lineStart);
    message.ReplaceArgument(number, 3);
    FormatToBuffer(number, sizeof number, "%u", line);
    message.ReplaceArgument(number, 2);
    if (itemName)
        message.ReplaceArgument(itemName, 1);
    ThrowKEExceptionWithText(message, "ThrowFileFormatErrorWithLocationInfo", KE_BAD_FILE_FORMAT, 0, KE_SOURCE_FILE,
                             __LINE__, __TIME__);
}

// QvXmlAttributeList

QvXmlAttributeList::QvXmlAttributeList() : m_element{1, 0, -1} {}

uint32_t QvXmlAttributeList::GetOffset() const { ThrowNotSupported("QvXmlAttributeList::GetOffset"); }
uint64_t QvXmlAttributeList::GetLargeOffset() const { ThrowNotSupported("QvXmlAttributeList::GetLargeOffset"); }
void QvXmlAttributeList::SetOffset(uint32_t) { ThrowNotSupported("QvXmlAttributeList::SetOffset"); }
void QvXmlAttributeList::TruncateAtCurrentOffset()
{
    ThrowNotSupported("QvXmlAttributeList::TruncateAtCurrentOffset");
}
void QvXmlAttributeList::WriteBytes(const void*, uint32_t) { ThrowNotSupported("QvXmlAttributeList::WriteBytes"); }
uint32_t QvXmlAttributeList::ReadBytes(void*, uint32_t, int) { ThrowNotSupported("QvXmlAttributeList::ReadBytes"); }
void QvXmlAttributeList::WriteString(const char*, const String&, bool, bool)
{
    ThrowNotSupported("QvXmlAttributeList::WriteString");
}
void QvXmlAttributeList::WriteStream(QvStream&, uint32_t, uint32_t)
{
    ThrowNotSupported("QvXmlAttributeList::WriteStream");
}
uint32_t QvXmlAttributeList::GetSize() const { ThrowNotSupported("QvXmlAttributeList::GetSize"); }
uint64_t QvXmlAttributeList::GetLargeSize() const { ThrowNotSupported("QvXmlAttributeList::GetLargeSize"); }

void QvXmlAttributeList::Clear() { m_attributes.clear(); }

void QvXmlAttributeList::Add(const String& name, const String& value, const QvXmlLocation& location)
{
    m_attributes.push_back(Attribute{DynamicString(name), DynamicString(value), location});
}

QvXmlAttributeList::Attribute QvXmlAttributeList::Take(const char* name)
{
    for (auto it = m_attributes.begin(); it != m_attributes.end(); ++it) {
        if (strcmp(it->name.GetString(), name) == 0) {
            Attribute found = *it;
            m_attributes.erase(it);
            return found;
        }
    }
    ThrowFileFormatErrorWithLocationInfo("FILE_FORMAT_ERROR_MISSING_XML_ATTRIBUTE", name, m_element.line,
                                         m_element.offset, m_element.lineStart);
}

void QvXmlAttributeList::ThrowIfAttributesLeft() const
{
    if (m_attributes.empty())
        return;
    const Attribute& first = m_attributes.front();
    ThrowFileFormatErrorWithLocationInfo("FILE_FORMAT_ERROR_UNEXPECTED_ATTRIBUTE", first.name.GetString(),
                                         first.location.line, first.location.offset, first.location.lineStart);
}

bool QvXmlAttributeList::ReadString(const char* name, String& out)
{
    Attribute a = Take(name);
    a.value.XmlUnescape();
    out.Assign(a.value);
    return true;
}

#define QV_XML_LIST_READ(Type, ReadName, Convert, Tag)                                                           \
    Type QvXmlAttributeList::ReadName(const char* name)                                                        \
    {                                                                                                          \
        Attribute a = Take(name);                                                                              \
        Type value;                                                                                            \
        if (!Convert(a.value, value))                                                                          \
            ThrowFileFormatErrorWithLocationInfo(Tag, nullptr, a.location.line, a.location.offset,             \
                                                 a.location.lineStart);                                        \
        return value;                                                                                          \
    }
QV_XML_LIST_READ(int, ReadInt, ConvertInt, "FILE_FORMAT_ERROR_WRONG_TYPE_INT")
QV_XML_LIST_READ(unsigned, ReadUInt, ConvertUInt, "FILE_FORMAT_ERROR_WRONG_TYPE_UINT")
QV_XML_LIST_READ(double, ReadDouble, ConvertDouble, "FILE_FORMAT_ERROR_WRONG_TYPE_DOUBLE")
QV_XML_LIST_READ(bool, ReadBool, ConvertBool, "FILE_FORMAT_ERROR_WRONG_TYPE_BOOL")
QV_XML_LIST_READ(int64_t, ReadInt64, ConvertInt64, "FILE_FORMAT_ERROR_WRONG_TYPE_INT64")
QV_XML_LIST_READ(uint64_t, ReadUInt64, ConvertUInt64, "FILE_FORMAT_ERROR_WRONG_TYPE_UINT64")
#undef QV_XML_LIST_READ

// QvXmlMemoryStream

QvXmlMemoryStream::QvXmlMemoryStream()
    : m_depth(0), m_attributeMode(false), m_line(1), m_lineStart(-1), m_emptyElement(false)
{
}

QvXmlMemoryStream::~QvXmlMemoryStream() {}

QvXmlLocation QvXmlMemoryStream::GetLocation() const { return QvXmlLocation{m_line, GetOffset(), m_lineStart}; }

void QvXmlMemoryStream::SetLocation(const QvXmlLocation& location)
{
    QvMemoryStream::SetOffset(location.offset);
    m_line = location.line;
    m_lineStart = location.lineStart;
}

void QvXmlMemoryStream::SetOffset(uint32_t offset)
{
    QvMemoryStream::SetOffset(offset);
    m_line = 1;
    m_lineStart = -1;
    m_emptyElement = false;
    const unsigned char* data = GetData();
    uint32_t end = std::min(offset, GetSize());
    for (uint32_t i = 0; i < end; ++i) {
        if (data[i] == '\n') {
            ++m_line;
            m_lineStart = i;
        }
    }
}

int QvXmlMemoryStream::ByteAt(uint32_t offset) const
{
    return offset < GetSize() ? GetData()[offset] : -1;
}

void QvXmlMemoryStream::Advance(uint32_t count)
{
    uint32_t offset = GetOffset();
    for (uint32_t i = 0; i < count; ++i, ++offset) {
        if (ByteAt(offset) == '\n') {
            ++m_line;
            m_lineStart = offset;
        }
    }
    QvMemoryStream::SetOffset(offset);
}

void QvXmlMemoryStream::FailAt(const QvXmlLocation& at, const char* errorTag, const char* itemName)
{
    SetLocation(at);
    ThrowFileFormatErrorWithLocationInfo(errorTag, itemName, at.line, at.offset, at.lineStart);
}

void QvXmlMemoryStream::Write(const char* name, const std::string& value)
{
    std::string out;
    if (m_attributeMode) {
        out.append(" ").append(name).append("='").append(value).append("'");
    } else if (!*name) {
        out = value;
    } else {
        out.assign(m_depth > 0 ? m_depth : 0, '\t');
        if (value.empty())
            out.append("<").append(name).append("/>\r\n");
        else
            out.append("<").append(name).append(">").append(value).append("</").append(name).append(">\r\n");
    }
    WriteBytes(out.data(), (uint32_t)out.size());
}

void QvXmlMemoryStream::WriteString(const char* name, const String& text, bool escape, bool lineEnd)
{
    DynamicString escaped(text);
    if (!escaped.IsEmpty() && escape)
        String::XmlEscape(escaped, m_attributeMode);
    std::string value;
    const char* s = escaped.GetString();
    for (size_t i = 0; s[i]; ++i) {
        if (lineEnd && s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
            value += '\r';
        value += s[i];
    }
    Write(name, value);
}

void QvXmlMemoryStream::WriteInt(const char* name, int value)
{
    char text[32];
    FormatToBuffer(text, sizeof text, "%d", value);
    Write(name, text);
}

void QvXmlMemoryStream::WriteUInt(const char* name, unsigned value)
{
    char text[32];
    FormatToBuffer(text, sizeof text, "%u", value);
    Write(name, text);
}

void QvXmlMemoryStream::WriteDouble(const char* name, double value)
{
    // Kind 3: always ".", whatever the user's decimal point, so files read back anywhere.
    DynamicString text;
    text.Append(value, 3, "%.16g");
    Write(name, text.GetString());
}

void QvXmlMemoryStream::WriteBool(const char* name, bool value) { Write(name, value ? "true" : "false"); }

void QvXmlMemoryStream::WriteInt64(const char* name, int64_t value)
{
    DynamicString text;
    text.Append(value, "%d");
    Write(name, text.GetString());
}

void QvXmlMemoryStream::WriteUInt64(const char* name, uint64_t value)
{
    DynamicString text;
    text.Append(value, "%u");
    Write(name, text.GetString());
}

void QvXmlMemoryStream::SkipWhiteSpaceAndComments()
{
    for (;;) {
        uint32_t offset = GetOffset();
        int c = ByteAt(offset);
        if (IsXmlSpace(c)) {
            Advance(1);
        } else if (c == '<' && ByteAt(offset + 1) == '!' && ByteAt(offset + 2) == '-' && ByteAt(offset + 3) == '-') {
            // An unterminated comment runs to the end of the text; the read that follows
            // reports what it misses there.
            uint32_t end = offset + 4;
            while (end < GetSize() && !(ByteAt(end) == '-' && ByteAt(end + 1) == '-' && ByteAt(end + 2) == '>'))
                ++end;
            Advance(std::min(end + 3, GetSize()) - offset);
        } else {
            return;
        }
    }
}

bool QvXmlMemoryStream::ExpectString(const char* text, bool required)
{
    uint32_t offset = GetOffset();
    size_t n = strlen(text);
    bool found = offset <= GetSize() && GetSize() - offset >= n && memcmp(GetData() + offset, text, n) == 0;
    if (found)
        Advance((uint32_t)n);
    else if (required)
        FailAt(GetLocation(), "FILE_FORMAT_ERROR_MISSING_EXPECTED_STRING", text);
    return found;
}

bool QvXmlMemoryStream::ReadUpTo(char terminator, bool stopAtWhiteSpace, bool required, String& out)
{
    uint32_t start = GetOffset();
    uint32_t end = start;
    for (int c; (c = ByteAt(end)) != -1; ++end) {
        if (c == (unsigned char)terminator || (stopAtWhiteSpace && IsXmlSpace(c)))
            break;
    }
    bool found = end < GetSize();
    if (start < end)
        AssignStoredBytes(out, reinterpret_cast<const char*>(GetData()) + start, end - start);
    else
        out.Empty();
    Advance(end > start ? end - start : 0);
    if (!found && required) {
        char item[2] = {terminator, '\0'};
        FailAt(GetLocation(), "FILE_FORMAT_ERROR_MISSING_EXPECTED_STRING", item);
    }
    return found;
}

bool QvXmlMemoryStream::PeekElement(const char* name)
{
    QvXmlLocation saved = GetLocation();
    SkipWhiteSpaceAndComments();
    bool match = false;
    if (ExpectString("<", false)) {
        DynamicString tag;
        ReadUpTo('>', true, false, tag);
        if (tag.GetByteLength() > 0 && tag.GetString()[tag.GetByteLength() - 1] == '/')
            tag.Delete(tag.GetLength() - 1, 1);
        match = strcmp(tag.GetString(), name) == 0;
    }
    SetLocation(saved);
    return match;
}

void QvXmlMemoryStream::ReadStartTag(const char* name, QvXmlAttributeList& attributes)
{
    attributes.Clear();
    m_emptyElement = false;
    SkipWhiteSpaceAndComments();
    attributes.SetElementLocation(GetLocation());
    ExpectString("<", true);
    ExpectString(name, true);
    for (;;) {
        SkipWhiteSpaceAndComments();
        uint32_t offset = GetOffset();
        if (ByteAt(offset) == '>') {
            Advance(1);
            return;
        }
        if (ByteAt(offset) == '/' && ByteAt(offset + 1) == '>') {
            m_emptyElement = true;
            return;
        }
        QvXmlLocation at = GetLocation();
        DynamicString attribute, value;
        ReadUpTo('=', true, true, attribute);
        SkipWhiteSpaceAndComments();
        ExpectString("=", true);
        SkipWhiteSpaceAndComments();
        const char* quote = "'";
        if (!ExpectString(quote, false)) {
            quote = "\"";
            ExpectString(quote, true);
        }
        ReadUpTo(quote[0], false, true, value);
        ExpectString(quote, true);
        attributes.Add(attribute, value, at);
    }
}

void QvXmlMemoryStream::ReadStartTagWithNoAttributes(const char* name)
{
    QvXmlAttributeList attributes;
    ReadStartTag(name, attributes);
    if (!attributes.GetAttributes().empty())
        SetLocation(attributes.GetAttributes().front().location);
    attributes.ThrowIfAttributesLeft();
}

void QvXmlMemoryStream::ReadEndTag(const char* name)
{
    if (m_emptyElement) {
        ExpectString("/>", true);
        m_emptyElement = false;
        return;
    }
    SkipWhiteSpaceAndComments();
    QvXmlLocation saved = GetLocation();
    bool found = ExpectString("</", false) && ExpectString(name, false);
    if (found) {
        SkipWhiteSpaceAndComments();
        found = ExpectString(">", false);
    }
    if (!found) {
        std::string item = std::string("</") + name + ">";
        FailAt(saved, "FILE_FORMAT_ERROR_MISSING_XML_ELEMENT_END", item.c_str());
    }
}

void QvXmlMemoryStream::ReadRawValue(const char* name, String& out)
{
    QvXmlLocation saved = GetLocation();
    bool named = *name != '\0';
    if (named) {
        if (!PeekElement(name))
            FailAt(saved, "FILE_FORMAT_ERROR_MISSING_XML_ELEMENT", name);
        ReadStartTagWithNoAttributes(name);
    }
    if (named && m_emptyElement)
        out.Empty();
    else
        ReadUpTo('<', false, true, out);
    if (named)
        ReadEndTag(name);
}

bool QvXmlMemoryStream::ReadString(const char* name, String& out)
{
    DynamicString value;
    ReadRawValue(name, value);
    value.XmlUnescape();
    value.ReplaceAll("\r\n", "\n");
    out.Assign(value);
    return true;
}

#define QV_XML_STREAM_READ(Type, ReadName, Convert, Tag)                                                         \
    Type QvXmlMemoryStream::ReadName(const char* name)                                                         \
    {                                                                                                          \
        SkipWhiteSpaceAndComments();                                                                           \
        QvXmlLocation saved = GetLocation();                                                                   \
        DynamicString text;                                                                                    \
        ReadRawValue(name, text);                                                                              \
        Type value;                                                                                            \
        if (!Convert(text, value))                                                                             \
            FailAt(saved, Tag, nullptr);                                                                       \
        return value;                                                                                          \
    }
QV_XML_STREAM_READ(int, ReadInt, ConvertInt, "FILE_FORMAT_ERROR_WRONG_TYPE_INT")
QV_XML_STREAM_READ(unsigned, ReadUInt, ConvertUInt, "FILE_FORMAT_ERROR_WRONG_TYPE_UINT")
QV_XML_STREAM_READ(double, ReadDouble, ConvertDouble, "FILE_FORMAT_ERROR_WRONG_TYPE_DOUBLE")
QV_XML_STREAM_READ(bool, ReadBool, ConvertBool, "FILE_FORMAT_ERROR_WRONG_TYPE_BOOL")
QV_XML_STREAM_READ(int64_t, ReadInt64, ConvertInt64, "FILE_FORMAT_ERROR_WRONG_TYPE_INT64")
QV_XML_STREAM_READ(uint64_t, ReadUInt64, ConvertUInt64, "FILE_FORMAT_ERROR_WRONG_TYPE_UINT64")
#undef QV_XML_STREAM_READ
