// The framework's serialisation streams.
//
// Classes in this file:
//   QvStream            abstract; positioned byte access and typed reads and writes. The item
//                       name of each typed operation is for the XML streams; binary streams
//                       ignore it
//   QvBinaryFileStream  a stream over a file, opened by stream type with retry while busy
//   QvMemoryStream      a stream over a growing memory block, optionally with a string table
//   QvStringTable       stores each distinct text once and hands out its index
//   QvXmlMemoryStream   a memory stream whose typed operations write and read named XML
//                       elements (or attributes of the open start tag) as text
//   QvXmlAttributeList  the attributes of one start tag, read back by name
// Free functions: GetProcessClockSeconds, ThrowFileFormatErrorWithLocationInfo.
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

// ---------------------------------------------------------------------------------------------
// XML attribute-list text form
//
// Element mode writes   depth x TAB "<name>" value "</name>" CR LF   ("<name/>" CR LF for an empty
// value, the value alone for an empty name); attribute mode writes   " name='value'".
// Numbers are written in the "C" form ("%d", "%u", "%.16g", "%I64d", "%I64u"), bools as "true" or
// "false". Every format error is KEException KE_BAD_FILE_FORMAT with the line and column where the
// reader found it.

// Where a reader stands: the column of offset is offset - lineStart, so the first byte after a
// line feed is column 1. The first line starts at -1 for the same reason.
struct QvXmlLocation {
    uint32_t line;
    uint32_t offset;
    int64_t lineStart;
};

// errorTag is a key of the "ERR_DESCR" table whose %1 is the item name (null when the message
// has none), %2 the line and %3 the column.
[[noreturn]] void ThrowFileFormatErrorWithLocationInfo(const char* errorTag, const char* itemName, uint32_t line,
                                                       uint32_t offset, int64_t lineStart);

class QvXmlAttributeList : public QvStream {
public:
    struct Attribute {
        DynamicString name;
        DynamicString value;  // as written: still escaped
        QvXmlLocation location;  // of the attribute's name
    };

    QvXmlAttributeList();

    // A list is read, never positioned or written: these raise KE_OPERATION_FAILED.
    uint32_t GetOffset() const override;
    uint64_t GetLargeOffset() const override;
    void SetOffset(uint32_t offset) override;
    void TruncateAtCurrentOffset() override;
    void WriteBytes(const void* buffer, uint32_t count) override;
    uint32_t ReadBytes(void* buffer, uint32_t count, int errorCode) override;
    void WriteString(const char* name, const String& text, bool escape, bool lineEnd) override;
    void WriteStream(QvStream& source, uint32_t start, uint32_t count) override;
    uint32_t GetSize() const override;
    uint64_t GetLargeSize() const override;

    // Each read takes its attribute out of the list, so asking twice for one name fails.
    bool ReadString(const char* name, String& out) override;
    int ReadInt(const char* name) override;
    unsigned ReadUInt(const char* name) override;
    double ReadDouble(const char* name) override;
    bool ReadBool(const char* name) override;
    int64_t ReadInt64(const char* name) override;
    uint64_t ReadUInt64(const char* name) override;

    // FILE_FORMAT_ERROR_UNEXPECTED_ATTRIBUTE for the first attribute nobody took.
    void ThrowIfAttributesLeft() const;

    void Clear();
    void SetElementLocation(const QvXmlLocation& location) { m_element = location; }
    const QvXmlLocation& GetElementLocation() const { return m_element; }
    void Add(const String& name, const String& value, const QvXmlLocation& location);
    const std::vector<Attribute>& GetAttributes() const { return m_attributes; }

private:
    Attribute Take(const char* name);

    std::vector<Attribute> m_attributes;
    QvXmlLocation m_element;
};

class QvXmlMemoryStream : public QvMemoryStream {
public:
    QvXmlMemoryStream();
    ~QvXmlMemoryStream() override;

    // Positioning recounts the lines before the new offset, so that errors of a later read name
    // the right line.
    void SetOffset(uint32_t offset) override;
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

    // Whatever opens and closes enclosing elements sets these.
    void SetIndentationDepth(int depth) { m_depth = depth; }
    int GetIndentationDepth() const { return m_depth; }
    void SetAttributeMode(bool on) { m_attributeMode = on; }
    bool GetAttributeMode() const { return m_attributeMode; }
    bool IsEmptyElement() const { return m_emptyElement; }
    QvXmlLocation GetLocation() const;

    // Reading steps, public for whatever reads enclosing elements.
    // Passes white space and comments, counting the line feeds in both.
    void SkipWhiteSpaceAndComments();
    // Moves past text when it stands at the offset; otherwise false, or the missing-string error
    // when required.
    bool ExpectString(const char* text, bool required);
    // Collects bytes up to terminator (or white space, when asked), which is not consumed. The end
    // of the text is the missing-string error when required; otherwise false.
    bool ReadUpTo(char terminator, bool stopAtWhiteSpace, bool required, String& out);
    // Whether the next element is name; the offset does not move.
    bool PeekElement(const char* name);
    // Reads "<name" and its attributes up to ">", or up to (not past) "/>" of an empty element.
    void ReadStartTag(const char* name, QvXmlAttributeList& attributes);
    void ReadStartTagWithNoAttributes(const char* name);
    void ReadEndTag(const char* name);

private:
    void Write(const char* name, const std::string& value);
    // The text of element name (or, for an empty name, up to the next "<"), still escaped.
    void ReadRawValue(const char* name, String& out);
    void SetLocation(const QvXmlLocation& location);
    void Advance(uint32_t count);
    int ByteAt(uint32_t offset) const;
    [[noreturn]] void FailAt(const QvXmlLocation& at, const char* errorTag, const char* itemName);

    int32_t m_depth;
    bool m_attributeMode;
    uint32_t m_line;
    int64_t m_lineStart;
    bool m_emptyElement;
};
