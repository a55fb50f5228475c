#include "ErrorTables.h"

#include <windows.h>

#include <atomic>
#include <map>
#include <new>

#include "KEException.h"
#include "critsect.h"

namespace {

struct TableRow {
    const char* table;
    const char* key;
    const char* text;
};

// The built-in string table, ended by a row without a table name. (table, key) pairs are
// unique also without regard to case.
const TableRow kRows[] = {
    // Message templates; %1, %2, ... are filled by the raiser.
    {"ERR_DESCR", "SPRINTF_FORMATTING_ERROR", "Error occurred formatting the string."},
    {"ERR_DESCR", "SYSTEM_ERR_31", "Cannot load DLL or system device not functioning"},
    {"ERR_DESCR", "ERROR_ACCESSING_REGISTRY_KEY", "Failed to access registry key %1:  %2"},
    {"ERR_DESCR", "ERROR_ACCESSING_REGISTRY_VALUE", "Failed to access registry value %1:  %2"},
    {"ERR_DESCR", "ERROR_REGISTRY_VALUE_HAS_WRONG_TYPE", "Registry value %1 does not have the expected type."},
    {"ERR_DESCR", "CANT_FIND_REGISTRY_ITEM", "Item '%1' could not be found in the system registry."},
    {"ERR_DESCR", "CANT_FIND_FILE", "Could not find file '%1'."},
    {"ERR_DESCR", "KE_CANT_READ_FILE_ELAB", "Error reading from file '%1'."},
    {"ERR_DESCR", "KE_CANT_WRITE_FILE_ELAB", "Error writing to file '%1'."},
    {"ERR_DESCR", "KE_UNABLE_TO_OPEN_FILE_DESC", "Unable to open file '%1'."},
    {"ERR_DESCR", "KE_UNABLE_TO_OPEN_DIR_DESC", "Unable to open directory '%1'."},
    {"ERR_DESCR", "PATH_IS_EMPTY", "Path is empty."},
    {"ERR_DESCR", "UNC_PATH_INVALID_NETWORK_NAME", "Path contains invalid network name."},
    {"ERR_DESCR", "UNC_PATH_INVALID_SHAREDIR", "Path contains invalid directory name."},
    {"ERR_DESCR", "UNC_PATH_MISSING_DIRECTORY", "Path missing directory name after the network name."},
    {"ERR_DESCR", "UNC_PATH_MISSING_NETWORK_NAME", "Path missing network name."},
    {"ERR_DESCR", "PATH_SEP_MUST_FOLLOW_DRIVE_SPEC", "Path separator (\\) must follow drive specification."},
    {"ERR_DESCR", "PATH_HAS_EMPTY_COMPONENT", "Path contains two adjacent path separators (\\\\)."},
    {"ERR_DESCR", "PATH_HAS_INVALID_CHARS",
     "One or more path components contain invalid characters: (< > | : / \\ \" * ?)."},
    {"ERR_DESCR", "PATH_BEGINS_WITH_SEPARATOR",
     "Path begins with separator (\\).\n"
     "Paths must begin with drive specification (C:) or network name (\\\\machine\\C)."},
    {"ERR_DESCR", "COPY_FILE_FAILED", "Could not copy '%1' to '%2'."},
    {"ERR_DESCR", "MOVE_FILE_FAILED", "Could not move '%1' to '%2'."},
    {"ERR_DESCR", "DELETE_FILE_FAILED", "Could not delete file '%1'."},
    {"ERR_DESCR", "REMOVE_DIR_FAILED", "Could not remove directory '%1'."},
    {"ERR_DESCR", "REMOVE_DIR_FAILED_NON_EMPTY", "Could not remove directory '%1' because it is not empty."},
    {"ERR_DESCR", "FILE_ALREADY_EXISTS_WITH_PATHNAME", "A file with the pathname '%1' already exists."},
    {"ERR_DESCR", "COMPRESS_OP_FAILED", "Unable to perform compression or decompression operation (code: %1)."},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_UNEXPECTED_ATTRIBUTE", "Unexpected XML attribute '%1' on line %2 character %3"},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_MISSING_XML_ATTRIBUTE", "Missing XML attribute '%1' on line %2 character %3"},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_MISSING_XML_ELEMENT", "Missing XML element '%1' on line %2 character %3"},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_MISSING_XML_ELEMENT_END", "Missing XML element end '%1' on line %2 character %3"},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_MISSING_EXPECTED_STRING", "Missing expected string '%1' on line %2 character %3"},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_WRONG_TYPE_BOOL",
     "XML value on line %2 character %3 is the wrong type. Boolean value expected."},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_WRONG_TYPE_INT",
     "XML value on line %2 character %3 is the wrong type. Integer expected."},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_WRONG_TYPE_UINT",
     "XML value on line %2 character %3 is the wrong type. Unsigned Integer expected."},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_WRONG_TYPE_INT64",
     "XML value on line %2 character %3 is the wrong type. 64-bit Integer expected."},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_WRONG_TYPE_UINT64",
     "XML value on line %2 character %3 is the wrong type. 64-bit Unsigned Integer expected."},
    {"ERR_DESCR", "FILE_FORMAT_ERROR_WRONG_TYPE_DOUBLE",
     "XML value on line %2 character %3 is the wrong type. Floating point number expected."},

    // One message per framework error code.
    {"KE_ERRORS", "KE_OUT_OF_MEMORY", "Out of memory."},
    {"KE_ERRORS", "KE_PROGRAM_ERROR", "Program Error."},
    {"KE_ERRORS", "KE_REGISTRY_ACCESS_ERROR", "Could not access system registry."},
    {"KE_ERRORS", "KE_REGISTRY_ITEM_NOT_FOUND", "An item could not be found in system registry."},
    {"KE_ERRORS", "KE_DLL_NOT_LOADABLE", "Could not load DLL or library."},
    {"KE_ERRORS", "KE_FUNC_NOT_IN_LIB", "Function not found in DLL or library."},
    {"KE_ERRORS", "KE_UNABLE_TO_ALLOCATE_SYSTEM_RESOURCE", "Unable to allocate system resource."},
    {"KE_ERRORS", "KE_UINT32_OVERFLOW", "An unsigned 32-bit value has overflowed."},
    {"KE_ERRORS", "KE_BAD_FILE_FORMAT", "Incorrect file format."},
    {"KE_ERRORS", "KE_IO_ERROR", "General I/O Error."},
    {"KE_ERRORS", "KE_UNABLE_TO_OPEN_FILE", "Unable to open file."},
    {"KE_ERRORS", "KE_BAD_NET_PATH", "Bad network path, or network not responding."},
    {"KE_ERRORS", "KE_DRIVE_NOT_READY", "Drive Not Ready Error."},
    {"KE_ERRORS", "KE_INVALID_PATHNAME", "Pathname is invalid."},
    {"KE_ERRORS", "KE_ACCESS_DENIED", "Access Denied."},
    {"KE_ERRORS", "KE_FILE_ALREADY_EXISTS", "File already exists."},
    {"KE_ERRORS", "KE_DISK_FULL", "Disk Full."},
    {"KE_ERRORS", "KE_FILE_NOT_FOUND", "File or directory not found."},
    {"KE_ERRORS", "KE_SHARING_VIOLATION", "Sharing violation."},
    {"KE_ERRORS", "KE_WRITE_PROTECTED", "Disk is write protected."},
    {"KE_ERRORS", "KE_INVALID_DRIVE", "Drive letter is invalid."},
    {"KE_ERRORS", "KE_PATH_NOT_FOUND", "Path not found."},
    {"KE_ERRORS", "KE_UNABLE_TO_OPEN_DIR", "Unable to open directory."},
    {"KE_ERRORS", "KE_INVALID_OR_OUT_OF_RANGE", "Value invalid or out of range."},
    {"KE_ERRORS", "KE_TOO_MANY_ITEMS", "Too many items."},
    {"KE_ERRORS", "KE_UNRECOGNIZED_VALUE", "Unrecognized value."},
    {"KE_ERRORS", "KE_DUPLICATE_ITEM_OR_VALUE", "Duplicate item or value."},
    {"KE_ERRORS", "KE_UNEXPECTED_TYPE", "Specified value does not have the expected type."},
    {"KE_ERRORS", "KE_TYPE_MISMATCH_ERROR", "Variable or property types do not match or are not compatible."},
    {"KE_ERRORS", "KE_INVALID_POINTER", "Invalid Pointer."},
    {"KE_ERRORS", "KE_OPERATION_IN_PROGRESS", "Error, operation in progress."},
    {"KE_ERRORS", "KE_OPERATION_FAILED", "Operation Failed."},
    {"KE_ERRORS", "KE_UNEXPECTED_SYSTEM_ERROR", "Unexpected Operating System Error."},
    {"KE_ERRORS", "KE_OPERATION_CANCELED", "Operation Canceled."},
    {"KE_ERRORS", "KE_DDE_FAIL", "The DDE transaction failed."},
    {"KE_ERRORS", "KE_NO_FILE_ASSOC", "No application is associated with the given filename extension."},
    {"KE_ERRORS", "USER_DEFINED_ERR_CODE", "User-defined error code."},

    // Descriptions of the configuration library's status codes.
    {"DRX_TOOLERR", "CouldNotOpenFileForReading", "Could Not Open File For Reading"},
    {"DRX_TOOLERR", "ErrorReadingFile", "Error Reading From File"},
    {"DRX_TOOLERR", "CouldNotFindUnusedTempFileName", "Could Not Find Unused Temporary File Name"},
    {"DRX_TOOLERR", "CouldNotCreateTempFile", "Could Not Create Temporary File"},
    {"DRX_TOOLERR", "IncorrectFileFormat", "Incorrect File Format"},
    {"DRX_TOOLERR", "UnexpectedEndOfFile", "Unexpected End Of File"},
    {"DRX_TOOLERR", "InvalidIntNumber", "Invalid Integer Number"},
    {"DRX_TOOLERR", "InvalidUIntNumber", "Invalid Unsigned Integer Number"},
    {"DRX_TOOLERR", "InvalidDoubleNumber", "Invalid Floating Point Number"},
    {"DRX_TOOLERR", "InvalidBooleanValue", "Invalid Boolean Value"},
    {"DRX_TOOLERR", "MissingSection", "Missing Section"},
    {"DRX_TOOLERR", "MissingItem", "Missing Item"},
    {"DRX_TOOLERR", "UnRecognizedValue", "Unrecognized Value"},
    {"DRX_TOOLERR", "LineTooLong", "A line in the file was longer than the supported maximum of %1 bytes."},
    {"DRX_TOOLERR", "OperationInProgress",
     "Could not perform the requested action because of another operation that is currently in progress"},
    {"DRX_TOOLERR", "TooManyItems", "Too many items"},
    {"DRX_TOOLERR", "DuplicateItemOrValue", "Duplicate item or value"},
    {"DRX_TOOLERR", "PanelNotAChildOfCorrectPanel", "Panel is not a child panel of the correct panel"},
    {"DRX_TOOLERR", "OutOfMemory", "Out of memory"},
    {"DRX_TOOLERR", "IOError", "I/O Error"},
    {"DRX_TOOLERR", "AccessDenied", "Access Denied"},
    {"DRX_TOOLERR", "InvalidPath", "Invalid Path"},
    {"DRX_TOOLERR", "DiskFull", "Disk Full"},
    {"DRX_TOOLERR", "NoDescriptionAvailable", "No description available. "},

    {"ERRORS", "STRING_NOT_IN_TABLE", "String not found in the language resource files"},
    {"ERRORS", "ERROR_32_BIT_POINTER_WITH_64_BIT_PLATFORM", "32-bit pointer used with 64-bit platform."},

    {nullptr, nullptr, nullptr},
};

// The error code list in its fixed order, ended by a row without a name.
const ErrorCodeEntry kErrorCodes[] = {
    {-17000, "KE_OUT_OF_MEMORY", 0x8007000e},
    {-17001, "KE_PROGRAM_ERROR", 0x80004005},
    {-17002, "KE_REGISTRY_ACCESS_ERROR", 0x80040150},
    {-17003, "KE_REGISTRY_ITEM_NOT_FOUND", 0x80040152},
    {-17004, "KE_DLL_NOT_LOADABLE", 0x1f},
    {-17005, "KE_FUNC_NOT_IN_LIB", 0x7f},
    {-17006, "KE_UNABLE_TO_ALLOCATE_SYSTEM_RESOURCE", 0x8007000e},
    {-17011, "KE_UINT32_OVERFLOW", 0x80004005},
    {-17100, "KE_BAD_FILE_FORMAT", 0x80004005},
    {-17200, "KE_IO_ERROR", 0x80028ca2},
    {-17201, "KE_UNABLE_TO_OPEN_FILE", 0x6e},
    {-17202, "KE_BAD_NET_PATH", 0x35},
    {-17203, "KE_DRIVE_NOT_READY", 0x15},
    {-17204, "KE_INVALID_PATHNAME", 0xa1},
    {-17205, "KE_ACCESS_DENIED", 0x80070005},
    {-17206, "KE_FILE_ALREADY_EXISTS", 0x50},
    {-17207, "KE_DISK_FULL", 0x70},
    {-17208, "KE_FILE_NOT_FOUND", 0x2},
    {-17209, "KE_SHARING_VIOLATION", 0x20},
    {-17210, "KE_WRITE_PROTECTED", 0x13},
    {-17211, "KE_INVALID_DRIVE", 0xf},
    {-17212, "KE_PATH_NOT_FOUND", 0x3},
    {-17215, "KE_UNABLE_TO_OPEN_DIR", 0x6e},
    {-17300, "KE_INVALID_OR_OUT_OF_RANGE", 0x80070057},
    {-17303, "KE_TOO_MANY_ITEMS", 0x80004005},
    {-17304, "KE_UNRECOGNIZED_VALUE", 0x80070057},
    {-17305, "KE_DUPLICATE_ITEM_OR_VALUE", 0x80070057},
    {-17308, "KE_UNEXPECTED_TYPE", 0x80020005},
    {-17321, "KE_TYPE_MISMATCH_ERROR", 0x80020005},
    {-17346, "KE_INVALID_POINTER", 0x80004003},
    {-17401, "KE_OPERATION_IN_PROGRESS", 0x8000000a},
    {-17500, "KE_OPERATION_FAILED", 0x80004005},
    {-17501, "KE_UNEXPECTED_SYSTEM_ERROR", 0x80004005},
    {-17604, "KE_OPERATION_CANCELED", 0x80004004},
    {-18101, "KE_DDE_FAIL", 0x80004005},
    {-18151, "KE_NO_FILE_ASSOC", 0x80004005},
    {0, nullptr, 0},
};

// Tables and keys match without regard to case, as the "C" locale folds letters.
struct CaseInsensitiveLess {
    bool operator()(const DynamicString& a, const DynamicString& b) const { return a.Compare(b, true) < 0; }
};

using KeyMap = std::map<DynamicString, DynamicString, CaseInsensitiveLess>;
using TableMap = std::map<DynamicString, KeyMap, CaseInsensitiveLess>;

// Fills registry row by row; false when memory ran out part-way (the rows added so far stay).
bool FillRegistry(TableMap& registry)
{
    try {
        for (const TableRow* row = kRows; row->table; ++row) {
            KeyMap& keys = registry[DynamicString(row->table)];
            keys[DynamicString(row->key)].Assign(row->text);
        }
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const KEException&) {
        return false;  // a copy of a text could not get its memory
    }
    return true;
}

std::atomic<TableMap*> g_registry{nullptr};
bool g_buildAttempted = false;  // under the build lock

// Built once, on the first lookup, and kept to the end of the process. Other threads wait for
// the build; a lookup by the building thread itself (the message of an exception raised while
// building) finds no registry. A failure part-way is raised in the thread that built, as
// KE_OUT_OF_MEMORY; the rows added so far stay and building is not retried.
TableMap* GetRegistry()
{
    if (TableMap* ready = g_registry.load(std::memory_order_acquire))
        return ready;
    static OSCriticalSection buildLock(true);
    buildLock.Enter();
    if (g_buildAttempted) {
        TableMap* registry = g_registry.load(std::memory_order_acquire);
        buildLock.Leave();
        return registry;
    }
    g_buildAttempted = true;
    TableMap* made = new (std::nothrow) TableMap;
    bool complete = made && FillRegistry(*made);
    g_registry.store(made, std::memory_order_release);
    buildLock.Leave();
    if (!complete)
        ThrowKEException(nullptr, "GetTableString", KE_OUT_OF_MEMORY, 0, KE_SOURCE_FILE, __LINE__, __TIME__);
    return made;
}

const DynamicString* FindText(TableMap* registry, const char* table, const char* key)
{
    if (!registry || !table || !key)
        return nullptr;
    auto t = registry->find(DynamicString(table, false));
    if (t == registry->end())
        return nullptr;
    auto k = t->second.find(DynamicString(key, false));
    return k == t->second.end() ? nullptr : &k->second;
}

} // namespace

TableString GetTableString(const char* table, const char* key, const char* defaultText)
{
    static DynamicString* notFound = new DynamicString("String Not Found In Table", false);
    TableMap* registry = GetRegistry();
    if (const DynamicString* text = FindText(registry, table, key))
        return TableString(const_cast<DynamicString*>(text), false);
    if (defaultText)
        return TableString(new DynamicString(defaultText), true);
    if (const DynamicString* text = FindText(registry, "ERRORS", "STRING_NOT_IN_TABLE"))
        return TableString(const_cast<DynamicString*>(text), false);
    return TableString(notFound, false);
}

const ErrorCodeEntry* FindErrorCodeEntry(int code)
{
    for (const ErrorCodeEntry* row = kErrorCodes; row->name; ++row) {
        if (row->code == code)
            return row;
    }
    return nullptr;
}

TableString GetErrorCodeMessage(int code)
{
    const char* defaultText = "Internal Error, error code string not in table";
    const ErrorCodeEntry* row = FindErrorCodeEntry(code);
    return GetTableString("KE_ERRORS", row ? row->name : "USER_DEFINED_ERR_CODE", defaultText);
}

int ErrorCodeFromSystemError(unsigned long status)
{
    switch (status) {
    case ERROR_FILE_NOT_FOUND: return KE_FILE_NOT_FOUND;
    case ERROR_PATH_NOT_FOUND: return KE_PATH_NOT_FOUND;
    case ERROR_ACCESS_DENIED:
    case ERROR_NETWORK_ACCESS_DENIED:
    case 0x80070005: return KE_ACCESS_DENIED;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case 0x8007000E: return KE_OUT_OF_MEMORY;
    case ERROR_INVALID_DRIVE: return KE_INVALID_DRIVE;
    case ERROR_WRITE_PROTECT: return KE_WRITE_PROTECTED;
    case ERROR_NOT_READY: return KE_DRIVE_NOT_READY;
    case ERROR_SHARING_VIOLATION: return KE_SHARING_VIOLATION;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL: return KE_DISK_FULL;
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_RESP:
    case ERROR_VC_DISCONNECTED: return KE_BAD_NET_PATH;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return KE_FILE_ALREADY_EXISTS;
    case ERROR_OPEN_FAILED: return KE_UNABLE_TO_OPEN_FILE;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: return KE_INVALID_PATHNAME;
    case ERROR_NO_ASSOCIATION: return KE_NO_FILE_ASSOC;
    case ERROR_DDE_FAIL: return KE_DDE_FAIL;
    case ERROR_DLL_NOT_FOUND: return KE_DLL_NOT_LOADABLE;
    case ERROR_CANCELLED: return KE_OPERATION_CANCELED;
    case 0x80004003: return KE_INVALID_POINTER;
    case 0x80020005: return KE_TYPE_MISMATCH_ERROR;
    default: return KE_IO_ERROR;
    }
}

int ErrorCodeFromToolStatus(int status)
{
    switch (status) {
    case 0: return 0;
    case -5001: return KE_UNABLE_TO_OPEN_FILE;
    case -5002:
    case -5262: return KE_IO_ERROR;
    case -5005:
    case -5006:
    case -5025:
    case -5026: return KE_BAD_FILE_FORMAT;
    case -5021:
    case -5022:
    case -5023:
    case -5024: return KE_INVALID_OR_OUT_OF_RANGE;
    case -5027: return KE_UNRECOGNIZED_VALUE;
    case -5050: return KE_OPERATION_IN_PROGRESS;
    case -5051: return KE_TOO_MANY_ITEMS;
    case -5052: return KE_DUPLICATE_ITEM_OR_VALUE;
    case -5261: return KE_OUT_OF_MEMORY;
    case -5263: return KE_ACCESS_DENIED;
    case -5264: return KE_INVALID_PATHNAME;
    case -5265: return KE_DISK_FULL;
    default: return KE_OPERATION_FAILED;
    }
}

void GetToolStatusDescription(int status, DynamicString& out)
{
    // The longest line the configuration library reads.
    const int kMaxLineBytes = 640;
    const char* key;
    switch (status < 0 ? -(long long)status : status) {
    case 5001: key = "CouldNotOpenFileForReading"; break;
    case 5002: key = "ErrorReadingFile"; break;
    case 5003: key = "CouldNotFindUnusedTempFileName"; break;
    case 5004: key = "CouldNotCreateTempFile"; break;
    case 5005: key = "IncorrectFileFormat"; break;
    case 5006: key = "UnexpectedEndOfFile"; break;
    case 5021: key = "InvalidIntNumber"; break;
    case 5022: key = "InvalidUIntNumber"; break;
    case 5023: key = "InvalidDoubleNumber"; break;
    case 5024: key = "InvalidBooleanValue"; break;
    case 5025: key = "MissingSection"; break;
    case 5026: key = "MissingItem"; break;
    case 5027: key = "UnRecognizedValue"; break;
    case 5028: key = "LineTooLong"; break;
    case 5050: key = "OperationInProgress"; break;
    case 5051: key = "TooManyItems"; break;
    case 5052: key = "DuplicateItemOrValue"; break;
    case 5060: key = "PanelNotAChildOfCorrectPanel"; break;
    case 5261: key = "OutOfMemory"; break;
    case 5262: key = "IOError"; break;
    case 5263: key = "AccessDenied"; break;
    case 5264: key = "InvalidPath"; break;
    case 5265: key = "DiskFull"; break;
    default: key = "NoDescriptionAvailable"; break;
    }
    out.Assign(GetTableString("DRX_TOOLERR", key).Text());
    if (status == 5028 || status == -5028)
        out.ReplaceArgument(kMaxLineBytes, 1);
}

DynamicString GetSystemErrorText(unsigned long code)
{
    if (code == 31)
        return DynamicString(GetTableString("ERR_DESCR", "SYSTEM_ERR_31").Text());
    char text[1024];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0x400, text,
                             sizeof text, nullptr);
    if (n == 0)
        FormatToBuffer(text, sizeof text, "Win32 error: 0x%x\n", (unsigned)code);
    return DynamicString(text);
}
