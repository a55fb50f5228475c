// Configuration files of sections and items, read into memory and asked typed questions.
//
// Contents of this file:
//   IniText_...   the configuration library: the parser and the in-memory sections and items.
//                 It never throws; it reports 0 or a negative library status (-5001 to -5265).
//   IniObj        the framework class over one library configuration; raises KEException.
//
// Three forms of the same content are read: plain text; "QuelvaranBinaryText" followed by a
// printable compressed text; "QuelvaranBinary" followed by a 32-byte header and one zlib stream.
#pragma once

#include <memory>

#include "kestring.h"

// Library status codes that reading and lookups produce.
enum {
    INITEXT_COULD_NOT_OPEN_FILE = -5001,
    INITEXT_ERROR_READING_FILE = -5002,
    INITEXT_INVALID_BOOLEAN = -5024,
    INITEXT_OUT_OF_MEMORY = -5261,
    INITEXT_IO_ERROR = -5262,
};

// The longest line the library keeps; the rest of a longer line is dropped.
const int kIniMaxLineBytes = 640;
// What a line supplier's buffer holds: the line, its terminator and some slack.
const int kIniLineBufferBytes = 644;

struct IniText;

// Fills buffer with the next non-blank line (at most maxLength bytes and a terminator) and sets
// endOfData when none is left. lineNumber may be left alone. Returns 0 or a negative status.
typedef int (*IniText_LineSupplier)(void* context, char* buffer, int maxLength, int* endOfData, int* lineNumber);

// nullptr when memory runs out.
IniText* IniText_New();
void IniText_Dispose(IniText* configuration);
// Reads a plain text file (opened "rb"). Sections read are appended after those already held.
int IniText_ReadFromFile(IniText* configuration, const char* fileName);
// Reads lines from a supplier until it reports the end. What was read before an error stays.
int IniText_ReadGeneric(IniText* configuration, IniText_LineSupplier supplier, void* context);
// 1 when found (value set to 1 or 0), 0 when the section, the tag or a non-blank value is
// missing, INITEXT_INVALID_BOOLEAN when the value is neither True nor False (any case).
int IniText_GetBoolean(IniText* configuration, const char* section, const char* tag, int* value);
// 1 when found, with the stored value (quotes removed; it lives as long as the configuration)
// and whether it was quoted; 0 when the section or the tag is missing.
int IniText_GetString(IniText* configuration, const char* section, const char* tag, const char** value,
                      int* quoted);

struct IniTextDeleter {
    void operator()(IniText* configuration) const { IniText_Dispose(configuration); }
};

class IniObj {
public:
    // Reads the file at once. The path will be the framework's Path class once that is in this
    // tree; until then it is the file name as text.
    explicit IniObj(const String& path);
    // An empty configuration, for text held in memory (ReadString).
    IniObj();
    ~IniObj();
    IniObj(const IniObj&) = delete;
    IniObj& operator=(const IniObj&) = delete;

    // Starts over with an empty configuration. Raises KE_OUT_OF_MEMORY.
    void Create();
    // Reads the file in whichever form it holds; sections already held keep the lead.
    void ReadFile(const String& path);
    // True, having read it, when the file holds one of the compressed forms; false, having read
    // nothing, for anything else.
    bool ReadAsBinary(const String& path);
    // Plain text or the encoded text form.
    void ReadString(const String& text);

    // True with value set when the item exists and reads True or False in any case; false with
    // value untouched otherwise. wellFormed is false only for a value that is something else.
    bool Get(const char* section, const char* tag, bool& value, bool& wellFormed) const;
    bool Get(const char* section, const char* tag, bool& value) const;

    // The library's configuration, for lookups beyond the typed ones.
    IniText* GetConfiguration() const { return m_configuration.get(); }
    // Whether the last successful read took one of the compressed forms.
    bool IsFromCompressedForm() const { return m_fromCompressedForm != 0; }

private:
    // Text of a known length: a decompressed text may hold NUL bytes, which end lines just as
    // they do in a plain file instead of ending the whole text.
    // scratch: a buffer the reader no longer needs, which the configuration may keep and fill.
    void ReadText(const char* text, size_t length, std::unique_ptr<char[]> scratch = nullptr,
                  size_t scratchBytes = 0);
    // Plain text only.
    void ParseText(const char* text, size_t length, std::unique_ptr<char[]> scratch = nullptr,
                   size_t scratchBytes = 0);
    void ReadBinaryForm(class IniFileHandle& file, const char* head, unsigned long long fileLength);
    void ReadEncodedForm(class IniFileHandle& file, const char* head, unsigned long long fileLength);

    std::unique_ptr<IniText, IniTextDeleter> m_configuration;
    unsigned m_reserved[2];
    DynamicString m_filterName;
    unsigned char m_filterEnabled;
    unsigned char m_fromCompressedForm;
};
