#include "QvStreams.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>

#include "ErrorTables.h"
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
    double seconds = now - base;
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
    out.AssignBytes(bytes.c_str(), (int)bytes.size());
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
    out.AssignBytes(reinterpret_cast<const char*>(start), (int)n);
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
