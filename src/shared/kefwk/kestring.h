// The framework's text classes: multibyte text in the process's current code page.
//
// Classes in this file:
//   String            abstract base; every operation is written once here on top of a few
//                     storage primitives (GetString, GetBuffer, GetBufferSize, EnsureBufferSize)
//   StaticString<N>   N bytes inside the object; longer texts are cut at the last whole character
//   DynamicString     heap text shared copy-on-write through CopyOnWriteMemory
//   BufferString      a view over a caller's character buffer; never grows
// Free functions: Printf, FormatToBuffer. Formatted number output: FormattedNumber.h.
//
// Indices and counts are in characters (a lead byte and its trail byte are one character) unless
// a name says Byte. Fixed-capacity classes never fail; DynamicString raises KEException
// KE_OUT_OF_MEMORY when memory runs out.
#pragma once

#include <stdint.h>
#include <string.h>

#include <vector>

#include "CopyOnWrite.h"

class _bstr_t;
class NumberValue;

class String {
public:
    // The virtual operations are declared in the order the framework's classes rely on; keep it.
    virtual ~String() {}
    virtual char* GetBufferAt(int index);
    virtual void ReleaseBuffer();
    virtual void Append(const _bstr_t& text);
    virtual void Append(const wchar_t* text);
    virtual void Append(const String& text);
    virtual void Append(const char* text);
    virtual void Assign(const _bstr_t& text);
    virtual void Assign(const wchar_t* text);
    virtual void Assign(const String& text);
    virtual void Assign(const char* text);
    // At most characterCount characters of text; a negative count takes the whole text.
    virtual void Assign(const char* text, int characterCount);
    // The whole characters within the first byteCount bytes of text.
    virtual void AssignBytes(const char* text, int byteCount);
    virtual void Empty();
    virtual const char* GetString() const = 0;
    // Writable text; forgets the cached size. Write at most GetBufferSize() bytes.
    virtual char* GetBuffer() = 0;
    virtual int GetBufferSize() const = 0;
    virtual CopyOnWriteMemory* GetSharedMemory() const;
    // Asks for at least size bytes (terminator included); returns the bytes now usable, which
    // may be fewer for classes that cannot grow.
    virtual int EnsureBufferSize(int size, bool keepContents, bool exact) = 0;
    // Called when a %n argument has no place in the text: warns and appends a visible trailer.
    virtual void HandleMissingFormatArgument(const String& pattern, const String& replacement);

    // A char or a number is not a text: catch the mix-up at build time.
    void Append(char) = delete;
    void Append(int) = delete;
    void Assign(char) = delete;
    void Assign(int) = delete;

    operator const char*() const { return GetString(); }

    // Byte length of the text plus one.
    int GetSize() const;
    int GetByteLength() const { return GetSize() - 1; }
    // Length in characters.
    int GetLength() const;
    bool IsEmpty() const { return GetString()[0] == '\0'; }

    int CharIndexFromByteOffset(int byteOffset) const;
    int ByteOffsetFromCharIndex(int index) const;
    unsigned GetAt(int index) const;
    void SetAt(int index, unsigned character);
    void AppendChar(unsigned character);
    void InsertChar(unsigned character, int index);
    unsigned GetFirstChar() const;
    unsigned GetLastChar() const;

    int Compare(const char* other, bool ignoreCase = false, int count = -1, int start = 0) const;
    bool Find(const char* pattern, int& index, int start = 0) const;
    void FindAll(const char* pattern, std::vector<int>& byteOffsets, int startByteOffset = 0,
                 bool ignoreCase = false, bool wholeWord = false, int maximum = -1) const;
    bool FindChar(unsigned character, int start, int& index) const;
    bool ReverseFindChar(unsigned character, int& index, int last = -1) const;
    bool FindOneOf(const char* set, int start, int& index) const;

    void Insert(const char* text, int index);
    void Replace(int index, int count, const char* text);
    void Replace(int index, int count, const String& text);
    void ReplaceBytes(int byteOffset, int byteCount, const char* text);
    bool ReplaceFirst(const char* pattern, const char* text);
    bool ReplaceFirst(const String& pattern, const String& text);
    int ReplaceAll(const char* pattern, const char* text, bool ignoreCase = false, bool wholeWord = false);
    int ReplaceAll(const String& pattern, const String& text, bool ignoreCase = false, bool wholeWord = false);
    void Delete(int index, int count);
    void Mid(int index, int count, String& out) const;
    void Trim();
    void MakeLower();
    bool IsQuoted() const;
    bool Unquote();
    void ConvertLineEndingsToCRLF();
    void ConvertLineEndingsToLF();
    static bool IsWordChar(unsigned character);

    // Formatting and numbered message arguments.
    void AppendInt(int value);
    void AppendUInt(unsigned value);
    void ReplaceArgument(int value, int n);
    void ReplaceArgument(const char* text, int n);
    void ReplaceArgument(const String& text, int n);

    // Text to number; true when at least one character was converted.
    bool ToDouble(double& out, int& charactersUsed) const;
    bool ToInt64(int64_t& out, int& charactersUsed) const;
    bool ToLong(long& out, int startIndex, int& endIndex) const;
    bool ToULong(unsigned long& out, int& endIndex) const;
    // Accepts the user's decimal separator, "." and "," as decimal point; sets errno to ERANGE
    // on range errors.
    static double ParseDouble(const char* text, const char** end);

    // Encodings. Wide text crosses in the runtime's multibyte code page (_getmbcp; 0 is the ANSI
    // page). Up to 512 wide characters convert on the stack; longer texts use a heap array.
    //
    // A new system string (BSTR) holding the text; the caller frees it with SysFreeString.
    wchar_t* AllocSysString() const;
    // byteCount < 0: terminated text. Null text or a count of 0 gives the empty text, and so does
    // input the system refuses to convert.
    void AssignFromUTF8(const char* text, int byteCount);
    // The text as terminated UTF-8: in buffer (512 bytes) when it fits and buffer is not null,
    // else in a new array the caller gives to FreeUTF8. Null when the conversion yields nothing.
    char* ToUTF8(char* buffer) const;
    static void FreeUTF8(char* text);
    // "<", ">", "&" (and "'" when asked) become entities; false when there was nothing to replace
    // (the text is unchanged). The double quote is left alone.
    static bool XmlEscape(String& text, bool escapeApostrophe);
    // The five entities become their characters, in one pass and in place.
    void XmlUnescape();
    // Formatted number output (FormattedNumber.h). decimalPointKind is a kind of
    // GetLocalizedDecimalPoint. Numbers of another type than double, signed or unsigned 64-bit
    // raise KE_UNEXPECTED_TYPE.
    void QuelvaranConvertFromFormattedNumber(const NumberValue& number, int decimalPointKind, const char* format);
    // Default formats: "%.13g" for a double, "%d" and "%u" (decimal point kind 1) for integers.
    void Append(const NumberValue& number, int decimalPointKind);
    void Append(double value, int decimalPointKind, const char* format);
    void Append(int64_t value, const char* format);
    void Append(uint64_t value, const char* format);

protected:
    String() : m_size(-1) {}
    String(const String&) : m_size(-1) {}
    String& operator=(const String&) = delete;

    // Byte length plus one, or -1 when unknown; refreshed lazily, also by const readers.
    mutable int m_size;

private:
    void AppendBytes(const char* text, int n);
    bool AppendInPlace(const char* text, int n);
    int ReplaceAllFound(const std::vector<int>& offsets, int patternBytes, const char* text);
};

// Appending is the framework's commonest edit, so its usual case is inline: a heap text of its
// own (count 1, not a literal) with room at its end. Nothing has to be detached, grown or cut
// to a budget there, so the general path would do exactly this. The one class that reports
// shared memory keeps its text at that memory's data.
inline bool String::AppendInPlace(const char* text, int n)
{
    if (m_size < 1)
        return false;
    CopyOnWriteMemory* memory = GetSharedMemory();
    if (!memory || memory->GetRefCount() != 1 || !memory->IsOwned() || n > memory->GetSize() - m_size)
        return false;
    char* end = memory->GetData() + m_size - 1;
    // Short texts are copied by hand, a library call costing more than their bytes: every byte
    // is read before any is written, as the text may be a piece of this very string (fixed-size
    // memcpy compiles to single moves). Longer ones go through memmove.
    if (n == 1) {
        end[0] = text[0];
    } else if (n < 4) {
        uint16_t head, tail;
        memcpy(&head, text, 2);
        memcpy(&tail, text + n - 2, 2);
        memcpy(end, &head, 2);
        memcpy(end + n - 2, &tail, 2);
    } else if (n <= 8) {
        uint32_t head, tail;
        memcpy(&head, text, 4);
        memcpy(&tail, text + n - 4, 4);
        memcpy(end, &head, 4);
        memcpy(end + n - 4, &tail, 4);
    } else if (n <= 16) {
        uint32_t w[4];
        memcpy(&w[0], text, 4);
        memcpy(&w[1], text + 4, 4);
        memcpy(&w[2], text + n - 8, 4);
        memcpy(&w[3], text + n - 4, 4);
        memcpy(end, &w[0], 4);
        memcpy(end + 4, &w[1], 4);
        memcpy(end + n - 8, &w[2], 4);
        memcpy(end + n - 4, &w[3], 4);
    } else {
        memmove(end, text, (size_t)n);
    }
    end[n] = '\0';
    m_size += n;
    return true;
}

// A value below 256 is one byte, any other two, high byte first; 0 appends nothing.
inline void String::AppendChar(unsigned character)
{
    char text[2] = {(char)(character >> 8), (char)character};
    const char* bytes = character > 0xFF ? text : text + 1;
    int n = character > 0xFF ? 2 : (character ? 1 : 0);
    if (n > 0 && !AppendInPlace(bytes, n))
        AppendBytes(bytes, n);
}

template <int N>
class StaticString : public String {
    static_assert(N > 0, "capacity");
public:
    StaticString() { m_text[0] = '\0'; m_size = 1; }
    StaticString(const char* text) { m_text[0] = '\0'; m_size = 1; String::Assign(text); }
    StaticString(const String& text) { m_text[0] = '\0'; m_size = 1; String::Assign(text); }
    StaticString(const StaticString& other) : String() { m_text[0] = '\0'; m_size = 1; String::Assign(other); }

    virtual StaticString& operator=(const String& text) { Assign(text); return *this; }
    StaticString& operator=(const StaticString& text) { Assign(text); return *this; }
    StaticString& operator=(const char* text) { Assign(text); return *this; }

    const char* GetString() const override { return m_text; }
    char* GetBuffer() override { m_size = -1; return m_text; }
    int GetBufferSize() const override { return N; }
    int EnsureBufferSize(int, bool, bool) override { return N + 1; }

private:
    char m_text[N + 1];
};

class DynamicString : public String {
public:
    DynamicString();
    DynamicString(const String& text);
    DynamicString(const DynamicString& text);
    // With copy false the string refers to text (normally a literal) until its first write.
    DynamicString(const char* text, bool copy = true);
    ~DynamicString() override;

    using String::Assign;
    void Assign(const String& text) override;
    void Empty() override;
    const char* GetString() const override;
    char* GetBuffer() override;
    int GetBufferSize() const override;
    CopyOnWriteMemory* GetSharedMemory() const override;
    int EnsureBufferSize(int size, bool keepContents, bool exact) override;

    virtual DynamicString& operator=(const DynamicString& other);
    virtual void Reserve(int size);

    DynamicString& operator=(const String& text) { Assign(text); return *this; }
    DynamicString& operator=(const char* text) { Assign(text); return *this; }

private:
    CopyOnWriteMemory* m_memory;
};

class BufferString : public String {
public:
    // The caller keeps the characters alive; the text can never grow past its first length.
    BufferString(char* buffer, int);
    BufferString(char* buffer, unsigned);
    BufferString(const BufferString&) = delete;

    virtual BufferString& operator=(const String& text) { Assign(text); return *this; }
    BufferString& operator=(const char* text) { Assign(text); return *this; }

    const char* GetString() const override { return m_buffer; }
    char* GetBuffer() override { m_size = -1; return m_buffer; }
    int GetBufferSize() const override;
    int EnsureBufferSize(int, bool, bool) override { return GetBufferSize(); }
    bool GetMark() const { return m_mark; }

private:
    char* m_buffer;
    mutable int m_bufferSize;
    bool m_mark;
};

// printf into the target's own buffer, which does not grow; -1 when the output was cut.
int Printf(String& target, const char* format, ...) __attribute__((format(ms_printf, 2, 3)));
int FormatToBuffer(char* buffer, int bufferSize, const char* format, ...) __attribute__((format(ms_printf, 3, 4)));
