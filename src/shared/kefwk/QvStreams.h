// The framework's serialisation streams.
//
// Classes in this file:
//   QvStream            abstract; positioned byte access and typed reads and writes. The item
//                       name of each typed operation is for the XML streams; binary streams
//                       ignore it
//   QvBinaryFileStream  a stream over a file, opened by stream type with retry while busy
//   QvMemoryStream      a stream over a growing memory block, optionally with a string table
//   QvStringTable       stores each distinct text once and hands out its index
// Free function: GetProcessClockSeconds.
//
// Binary layout (little-endian): int and unsigned 4 bytes, double 8 (IEEE 754), bool 1, 64-bit
// integers 8, text its bytes and a NUL (or its table index as an int). Every failure is raised as
// KEException.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kestring.h"

class QvStream {
public:
    // The virtual operations are declared in the order the framework's callers rely on; keep it.
    virtual ~QvStream() {}
    virtual uint32_t GetOffset() const = 0;
    virtual uint64_t GetLargeOffset() const = 0;
    virtual void SetOffset(uint32_t offset) = 0;
    virtual void TruncateAtCurrentOffset() = 0;
    virtual void WriteBytes(const void* buffer, uint32_t count) = 0;
    // Reads up to count bytes; when fewer are there, raises errorCode unless it is 0.
    virtual uint32_t ReadBytes(void* buffer, uint32_t count, int errorCode) = 0;
    virtual void WriteString(const char* name, const String& text, bool escape, bool lineEnd) = 0;
    virtual bool ReadString(const char* name, String& out) = 0;
    virtual void WriteInt(const char* name, int value);
    virtual int ReadInt(const char* name);
    virtual void WriteUInt(const char* name, unsigned value);
    virtual unsigned ReadUInt(const char* name);
    virtual void WriteDouble(const char* name, double value);
    virtual double ReadDouble(const char* name);
    virtual void WriteBool(const char* name, bool value);
    virtual bool ReadBool(const char* name);
    virtual void WriteInt64(const char* name, int64_t value);
    virtual int64_t ReadInt64(const char* name);
    virtual void WriteUInt64(const char* name, uint64_t value);
    virtual uint64_t ReadUInt64(const char* name);
    virtual void WriteStream(QvStream& source, uint32_t start, uint32_t count) = 0;
    virtual uint32_t GetSize() const = 0;
    virtual uint64_t GetLargeSize() const = 0;

protected:
    QvStream() {}
    QvStream(const QvStream&) = delete;
    QvStream& operator=(const QvStream&) = delete;
};

enum QvStreamType {
    QV_STREAM_READ = 0,              // the file must exist
    QV_STREAM_WRITE = 1,             // kept when it exists, created otherwise
    QV_STREAM_READ_WRITE = 2,        // the file must exist
    QV_STREAM_WRITE_EMPTIED = 3,     // emptied when it exists, created otherwise
    QV_STREAM_READ_WRITE_EMPTIED = 4,
    QV_STREAM_NONE = 5,              // no file is held
};

class QvBinaryFileStream : public QvStream {
public:
    // Opens path with streamType at once, retrying for retryTimeoutSeconds while the file is
    // busy. Both options are off; set them before SetStreamType to open with them.
    QvBinaryFileStream(const char* path, double retryTimeoutSeconds, int streamType = QV_STREAM_READ);
    ~QvBinaryFileStream() override;

    uint32_t GetOffset() const override;
    uint64_t GetLargeOffset() const override;
    void SetOffset(uint32_t offset) override;
    void TruncateAtCurrentOffset() override;
    void WriteBytes(const void* buffer, uint32_t count) override;
    uint32_t ReadBytes(void* buffer, uint32_t count, int errorCode) override;
    void WriteString(const char* name, const String& text, bool escape, bool lineEnd) override;
    bool ReadString(const char* name, String& out) override;
    void WriteStream(QvStream& source, uint32_t start, uint32_t count) override;
    uint32_t GetSize() const override;
    uint64_t GetLargeSize() const override;
    // Reopens with another type (with retry); nothing happens for the current type.
    virtual void SetStreamType(int streamType);
    virtual int GetStreamType() const;

    void OpenWithNoRetry(int streamType);
    void OpenWithRetry(int streamType);
    std::wstring ConvertPathAsNeeded() const;

    // Lets other openers delete the file while it is open.
    void SetShareDeleteOption(bool on) { m_shareDelete = on; }
    // Opens the path in its extended-length form (\\?\), so that it may be 260 characters or more.
    void SetLongPathOption(bool on) { m_longPath = on; }
    const char* GetPath() const { return m_path.GetString(); }

private:
    void Close();

    int m_streamType;
    HANDLE m_file;
    DynamicString m_path;
    double m_retryTimeout;
    bool m_shareDelete;
    bool m_longPath;
};

class QvStringTable;

class QvMemoryStream : public QvStream {
public:
    QvMemoryStream();
    ~QvMemoryStream() override;

    uint32_t GetOffset() const override;
    uint64_t GetLargeOffset() const override;
    void SetOffset(uint32_t offset) override;
    void TruncateAtCurrentOffset() override;
    void WriteBytes(const void* buffer, uint32_t count) override;
    uint32_t ReadBytes(void* buffer, uint32_t count, int errorCode) override;
    void WriteString(const char* name, const String& text, bool escape, bool lineEnd) override;
    bool ReadString(const char* name, String& out) override;
    void WriteInt(const char* name, int value) override;
    int ReadInt(const char* name) override;
    void WriteUInt(const char* name, unsigned value) override;
    unsigned ReadUInt(const char* name) override;
    void WriteDouble(const char* name, double value) override;
    double ReadDouble(const char* name) override;
    void WriteBool(const char* name, bool value) override;
    bool ReadBool(const char* name) override;
    void WriteInt64(const char* name, int64_t value) override;
    int64_t ReadInt64(const char* name) override;
    void WriteUInt64(const char* name, uint64_t value) override;
    uint64_t ReadUInt64(const char* name) override;
    void WriteStream(QvStream& source, uint32_t start, uint32_t count) override;
    uint32_t GetSize() const override;
    uint64_t GetLargeSize() const override;

    // Makes room for count bytes at the offset; the length grows to cover them.
    void PrepareStreamForWrite(uint32_t count);
    void ReadStringRaw(String& out);
    // The table is borrowed: it must outlive the stream's use of it. nullptr detaches it.
    void SetStringTable(QvStringTable* table) { m_table = table; }
    QvStringTable* GetStringTable() const { return m_table; }
    const unsigned char* GetData() const { return m_data; }

private:
    void Put(const void* bytes, uint32_t count);
    void Take(void* bytes, uint32_t count, const char* function);

    uint32_t m_offset;
    uint32_t m_length;
    uint32_t m_capacity;
    unsigned char* m_data;
    QvStringTable* m_table;
};

class QvStringTable {
public:
    QvStringTable();
    ~QvStringTable();
    QvStringTable(const QvStringTable&) = delete;
    QvStringTable& operator=(const QvStringTable&) = delete;

    // -1 for the empty text, which is never stored; a new text is added with the next index.
    int GetIndexForString(const char* text);
    // The empty text for a negative index; KE_BAD_FILE_FORMAT for an index never handed out.
    const DynamicString& GetStringForIndex(int index) const;
    int GetCount() const { return (int)m_texts.size(); }

    static unsigned BucketOf(const char* text, size_t length);

private:
    static const unsigned kBuckets = 10009;
    std::vector<DynamicString> m_texts;
    std::vector<std::unique_ptr<std::map<std::string, int>>> m_buckets;
};

// Seconds since the first reading in this process, from the high-resolution counter (the tick
// count where there is none). Safe for concurrent use.
double GetProcessClockSeconds();
