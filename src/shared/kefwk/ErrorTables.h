// The framework's error codes and its built-in message tables.
//
// Texts are looked up by (table, key), both without regard to case. A second list ties every
// framework error code to its key in the "KE_ERRORS" table.
#pragma once

#include "kestring.h"

enum KEErrorCode {
    KE_NO_ERROR = 0,
    KE_OUT_OF_MEMORY = -17000,
    KE_PROGRAM_ERROR = -17001,
    KE_REGISTRY_ACCESS_ERROR = -17002,
    KE_REGISTRY_ITEM_NOT_FOUND = -17003,
    KE_DLL_NOT_LOADABLE = -17004,
    // Raised by the compressor's binding; not in the code list, so its message is the
    // user-defined-code text.
    KE_FUNC_NOT_IN_LIB = -17005,
    KE_UNABLE_TO_ALLOCATE_SYSTEM_RESOURCE = -17006,
    KE_UINT32_OVERFLOW = -17011,
    KE_BAD_FILE_FORMAT = -17100,
    KE_IO_ERROR = -17200,
    KE_UNABLE_TO_OPEN_FILE = -17201,
    KE_BAD_NET_PATH = -17202,
    KE_DRIVE_NOT_READY = -17203,
    KE_INVALID_PATHNAME = -17204,
    KE_ACCESS_DENIED = -17205,
    KE_FILE_ALREADY_EXISTS = -17206,
    KE_DISK_FULL = -17207,
    KE_FILE_NOT_FOUND = -17208,
    KE_SHARING_VIOLATION = -17209,
    KE_WRITE_PROTECTED = -17210,
    KE_INVALID_DRIVE = -17211,
    KE_PATH_NOT_FOUND = -17212,
    KE_UNABLE_TO_OPEN_DIR = -17215,
    KE_INVALID_OR_OUT_OF_RANGE = -17300,
    KE_TOO_MANY_ITEMS = -17303,
    KE_UNRECOGNIZED_VALUE = -17304,
    KE_DUPLICATE_ITEM_OR_VALUE = -17305,
    KE_UNEXPECTED_TYPE = -17308,
    KE_TYPE_MISMATCH_ERROR = -17321,
    KE_INVALID_POINTER = -17346,
    KE_OPERATION_IN_PROGRESS = -17401,
    KE_OPERATION_FAILED = -17500,
    KE_UNEXPECTED_SYSTEM_ERROR = -17501,
    KE_OPERATION_CANCELED = -17604,
    KE_DDE_FAIL = -18101,
    KE_NO_FILE_ASSOC = -18151,
};

// One row of the error code list.
struct ErrorCodeEntry {
    int code;
    const char* name;
    unsigned equivalentStatus;
};

// A looked-up text. Owned results are copies made for the caller (a default text); the others
// belong to the tables and live until the process ends. Move-only; frees what it owns.
class TableString {
public:
    TableString(DynamicString* text, bool owned) : m_text(text), m_owned(owned) {}
    TableString(TableString&& other) : m_text(other.m_text), m_owned(other.m_owned) { other.m_owned = false; }
    TableString(const TableString&) = delete;
    TableString& operator=(const TableString&) = delete;
    ~TableString() { if (m_owned) delete m_text; }

    const DynamicString& Text() const { return *m_text; }
    const char* GetString() const { return m_text->GetString(); }
    operator const char*() const { return m_text->GetString(); }
    bool IsOwned() const { return m_owned; }

private:
    DynamicString* m_text;
    bool m_owned;
};

// Never fails for a missing entry: the default text, else the table's own "not found" text.
TableString GetTableString(const char* table, const char* key, const char* defaultText = nullptr);
// The "KE_ERRORS" message of a code; unknown codes give the user-defined-code text.
TableString GetErrorCodeMessage(int code);
const ErrorCodeEntry* FindErrorCodeEntry(int code);
int ErrorCodeFromSystemError(unsigned long status);
int ErrorCodeFromToolStatus(int status);
void GetToolStatusDescription(int status, DynamicString& out);
// The system's text for a Windows error code, its line ending included.
DynamicString GetSystemErrorText(unsigned long code);
