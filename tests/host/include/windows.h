// The host layer: the few Windows calls the framework's pure units make, for a Linux build
// (clang, 64-bit, 16-bit wchar_t) under the sanitizers. Code-page conversion, lead bytes, counts,
// locks and last error behave as on Windows. What belongs to a machine stays out: the disk holds
// only memory files and folders made during the run, the registry is empty, shell folders are
// fixed names, fonts and the environment are absent.
#pragma once

#ifndef SARNIK_HOST_BUILD
#error "this header is the host layer; it only builds with SARNIK_HOST_BUILD"
#endif

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

static_assert(sizeof(wchar_t) == 2, "the host build needs -fshort-wchar, as wide text is UTF-16");
// Windows keeps long at 32 bits on both architectures (LLP64), Linux makes it 64 (LP64): the
// Windows types are spelt with int here so that they keep their Windows sizes. Where the
// framework's own code says long, the host build differs from Windows; the unit tables mark the
// cases where that shows.
static_assert(sizeof(int) == 4, "DWORD, LONG and ULONG are 32-bit types");

// One calling convention on the host: the framework's own calls and zlib's all meet in one
// binary, so the decorations only have to compile.
#define WINAPI
#define CALLBACK
#define __stdcall
#define __cdecl

// GCC's spelling of constinit before C++20, in clang's terms: the check stays a check.
#if defined(__clang__) && !defined(__constinit)
#define __constinit __attribute__((require_constant_initialization))
#endif

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef int LONG;
typedef unsigned int ULONG;
typedef unsigned int UINT;
typedef int INT;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef unsigned long long DWORD64;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef wchar_t* LPWSTR;
typedef const wchar_t* LPCWSTR;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef BOOL* LPBOOL;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR DWORD_PTR;
typedef DWORD REGSAM;
typedef LONG HRESULT;
typedef wchar_t OLECHAR;
typedef OLECHAR* BSTR;
typedef struct HKEY__* HKEY;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HDC__* HDC;
typedef struct HFONT__* HFONT;
typedef struct HWND__* HWND;
typedef void* HGDIOBJ;
typedef int (WINAPI* FARPROC)();

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED 0xFFFFFFFF
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define S_OK ((HRESULT)0)
#define E_FAIL ((HRESULT)0x80004005L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x8
#define WC_NO_BEST_FIT_CHARS 0x400

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_INVALID_DRIVE 15L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_NOT_READY 21L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_BAD_NETPATH 53L
#define ERROR_NETWORK_ACCESS_DENIED 65L
#define ERROR_BAD_NET_RESP 58L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_VC_DISCONNECTED 240L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_DLL_NOT_FOUND 1157L
#define ERROR_NO_ASSOCIATION 1155L
#define ERROR_DDE_FAIL 1156L
#define ERROR_CANCELLED 1223L
#define ERROR_OPEN_FAILED 110L
#define ERROR_DATATYPE_MISMATCH 1629L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_REGISTRY_VALUE_HAS_WRONG_TYPE 0x3F1L
#define ERROR_NO_SYSTEM_RESOURCES 1450L

#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define FILE_SHARE_READ 1
#define FILE_SHARE_WRITE 2
#define FILE_SHARE_DELETE 4
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x1
#define FILE_ATTRIBUTE_HIDDEN 0x2
#define FILE_ATTRIBUTE_SYSTEM 0x4
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE 0x20
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define MOVEFILE_REPLACE_EXISTING 1
#define MOVEFILE_COPY_ALLOWED 2

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x2
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x4

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002)
#define KEY_QUERY_VALUE 0x1
#define KEY_SET_VALUE 0x2
#define KEY_ENUMERATE_SUB_KEYS 0x8
#define KEY_WOW64_64KEY 0x100
#define KEY_WOW64_32KEY 0x200
#define KEY_READ 0x20019
#define KEY_ALL_ACCESS 0xF003F
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_CREATED_NEW_KEY 1

#define DT_SINGLELINE 0x20
#define DT_NOPREFIX 0x800
#define DT_PATH_ELLIPSIS 0x4000
#define DT_MODIFYSTRING 0x10000
#define DT_WORD_ELLIPSIS 0x40000

#define CSIDL_COMMON_DOCUMENTS 0x2e
#define CSIDL_LOCAL_APPDATA 0x1c
#define CSIDL_COMMON_APPDATA 0x23

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct tagRECT {
    LONG left, top, right, bottom;
} RECT, *LPRECT;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh, nFileSizeLow, dwReserved0, dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA;
typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh, nFileSizeLow, dwReserved0, dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW;
typedef enum _FINDEX_INFO_LEVELS { FindExInfoStandard, FindExInfoBasic } FINDEX_INFO_LEVELS;
typedef enum _FINDEX_SEARCH_OPS { FindExSearchNameMatch } FINDEX_SEARCH_OPS;
#define FIND_FIRST_EX_LARGE_FETCH 2

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// A pthread recursive mutex behind the system's critical section.
typedef struct _RTL_CRITICAL_SECTION {
    void* Impl;
    unsigned char Storage[48];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

#ifdef __cplusplus
extern "C" {
#endif

// Errors
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);
DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer, DWORD size,
                            va_list* args);
void WINAPI OutputDebugStringA(LPCSTR text);

// Code pages: 1252, 932 and UTF-8 through iconv, with Windows' answers and last errors.
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count, LPWSTR out, int outCount);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int count, LPSTR out, int outCount,
                               LPCSTR defaultChar, LPBOOL usedDefault);
BOOL WINAPI IsDBCSLeadByte(BYTE c);
BOOL WINAPI IsDBCSLeadByteEx(UINT codePage, BYTE c);
LPSTR WINAPI CharNextA(LPCSTR p);
// Lower case per UTF-16 unit, from the Unicode case tables; returns the units handled.
DWORD WINAPI CharLowerBuffW(LPWSTR text, DWORD length);
UINT WINAPI GetACP(void);
// The OEM code page: the host models it as the ANSI one.
UINT WINAPI GetOEMCP(void);

// Counts, locks, events, threads, time
LONG WINAPI InterlockedIncrement(LONG volatile* p);
LONG WINAPI InterlockedDecrement(LONG volatile* p);
LONG WINAPI InterlockedExchange(LONG volatile* p, LONG value);
LONG WINAPI InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand);
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI CloseHandle(HANDLE handle);
DWORD WINAPI GetCurrentThreadId(void);
void WINAPI Sleep(DWORD milliseconds);
BOOL WINAPI SwitchToThread(void);
DWORD WINAPI GetTickCount(void);
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* counter);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// The process heap is the C runtime's.
HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block);

// Pages, for tests that end data at an unreadable page.
typedef struct _SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;
#define MEM_COMMIT 0x1000
#define MEM_RESERVE 0x2000
#define MEM_RELEASE 0x8000
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
void WINAPI GetSystemInfo(LPSYSTEM_INFO info);
LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect);
BOOL WINAPI VirtualProtect(LPVOID address, SIZE_T size, DWORD protect, LPDWORD oldProtect);
BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type);

// Modules: the compressor's "zqzlibwapi.dll" is the system zlib linked in; nothing else loads.
HMODULE WINAPI LoadLibraryA(LPCSTR name);
BOOL WINAPI FreeLibrary(HMODULE module);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE* module);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);

// Memory files: CreateFileA/W and the C runtime's fopen of exactly this path read these bytes, so
// that readers of files can be given untrusted bytes without a disk; files written through a
// handle become memory files when it closes. Null data forgets the file.
void HostSetMemoryFile(const char* path, const void* data, size_t size);

// Files over the memory files; the rest of the file system, the registry, profile and environment
// answer as an empty machine does: "not found" for lookups, "access denied" for changes.
HANDLE WINAPI CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
HANDLE WINAPI CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL WINAPI ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, void*);
BOOL WINAPI WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, void*);
BOOL WINAPI SetEndOfFile(HANDLE);
BOOL WINAPI SetFilePointerEx(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD);
DWORD WINAPI GetFileSize(HANDLE, LPDWORD);
BOOL WINAPI GetFileSizeEx(HANDLE, PLARGE_INTEGER);
BOOL WINAPI GetFileTime(HANDLE, LPFILETIME, LPFILETIME, LPFILETIME);
LONG WINAPI CompareFileTime(const FILETIME*, const FILETIME*);
DWORD WINAPI GetFileAttributesA(LPCSTR);
DWORD WINAPI GetFileAttributesW(LPCWSTR);
BOOL WINAPI SetFileAttributesA(LPCSTR, DWORD);
BOOL WINAPI SetFileAttributesW(LPCWSTR, DWORD);
BOOL WINAPI CreateDirectoryA(LPCSTR, LPSECURITY_ATTRIBUTES);
BOOL WINAPI CreateDirectoryW(LPCWSTR, LPSECURITY_ATTRIBUTES);
BOOL WINAPI RemoveDirectoryA(LPCSTR);
BOOL WINAPI RemoveDirectoryW(LPCWSTR);
BOOL WINAPI DeleteFileA(LPCSTR);
BOOL WINAPI DeleteFileW(LPCWSTR);
BOOL WINAPI CopyFileA(LPCSTR, LPCSTR, BOOL);
BOOL WINAPI MoveFileExA(LPCSTR, LPCSTR, DWORD);
HANDLE WINAPI FindFirstFileA(LPCSTR, WIN32_FIND_DATAA*);
HANDLE WINAPI FindFirstFileW(LPCWSTR, WIN32_FIND_DATAW*);
BOOL WINAPI FindNextFileA(HANDLE, WIN32_FIND_DATAA*);
HANDLE WINAPI FindFirstFileExA(LPCSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD);
HANDLE WINAPI FindFirstFileExW(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD);
BOOL WINAPI FindNextFileW(HANDLE, WIN32_FIND_DATAW*);
BOOL WINAPI FindClose(HANDLE);
DWORD WINAPI GetCurrentDirectoryA(DWORD, LPSTR);
DWORD WINAPI GetCurrentDirectoryW(DWORD, LPWSTR);
DWORD WINAPI GetLongPathNameA(LPCSTR, LPSTR, DWORD);
DWORD WINAPI GetLongPathNameW(LPCWSTR, LPWSTR, DWORD);
DWORD WINAPI GetShortPathNameW(LPCWSTR, LPWSTR, DWORD);
DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR, LPSTR, DWORD);
DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR, LPWSTR, DWORD);
DWORD WINAPI GetEnvironmentVariableA(LPCSTR, LPSTR, DWORD);
DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultText, LPSTR out, DWORD size);
LONG WINAPI RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, HKEY*);
LONG WINAPI RegCloseKey(HKEY);
LONG WINAPI RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LONG WINAPI RegEnumValueA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LONG WINAPI RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LONG WINAPI RegEnumValueW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LONG WINAPI RegCreateKeyExA(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, HKEY*, LPDWORD);
LONG WINAPI RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD);
LONG WINAPI RegDeleteValueA(HKEY, LPCSTR);
LONG WINAPI RegDeleteKeyA(HKEY, LPCSTR);
LONG WINAPI RegDeleteKeyExA(HKEY, LPCSTR, REGSAM, DWORD);
HRESULT WINAPI SHGetFolderPathA(HWND, int, HANDLE, DWORD, LPSTR);
HRESULT WINAPI SHGetFolderPathW(HWND, int, HANDLE, DWORD, LPWSTR);
HDC WINAPI CreateCompatibleDC(HDC);
BOOL WINAPI DeleteDC(HDC);
HGDIOBJ WINAPI SelectObject(HDC, HGDIOBJ);
int WINAPI DrawTextA(HDC, LPSTR, int, LPRECT, UINT);

// System strings: a length word before UTF-16 text, as OLE makes them.
BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length);
BSTR WINAPI SysAllocString(const OLECHAR* text);
void WINAPI SysFreeString(BSTR text);
UINT WINAPI SysStringLen(BSTR text);

#ifdef __cplusplus
}
#endif

#include "hostcrt.h"
