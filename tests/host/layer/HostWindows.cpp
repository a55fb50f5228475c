// The host layer's Windows calls. Conversions use iconv's CP1252 and CP932 tables and give
// Windows' answers: needed sizes, ERROR_INSUFFICIENT_BUFFER, '?' for what has no byte form,
// U+FFFD for bytes of UTF-8 that are not text. Machine-tied calls fail as on a machine that has
// none of what they look for.
#include <windows.h>

#include <errno.h>
#include <iconv.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <ctype.h>
#include <locale.h>
#include <wctype.h>
#include <stdlib.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

extern "C" unsigned HostAnsiCodePage();

namespace {

thread_local DWORD t_lastError = 0;

unsigned ResolvePage(UINT codePage)
{
    if (codePage == CP_ACP || codePage == CP_OEMCP)
        return HostAnsiCodePage();
    return codePage;
}

bool Is932Lead(unsigned c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// One character of code page 932 or 1252 to UTF-16 through iconv; false when the bytes have no
// character (then Windows gives the page's default character).
bool ConvertOne(iconv_t cd, const char* bytes, size_t n, std::u16string& out)
{
    char16_t units[4];
    char* in = const_cast<char*>(bytes);
    char* o = reinterpret_cast<char*>(units);
    size_t inLeft = n, outLeft = sizeof units;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in, &inLeft, &o, &outLeft) == (size_t)-1 || inLeft != 0)
        return false;
    out.append(units, (sizeof units - outLeft) / 2);
    return true;
}

struct Converter {
    explicit Converter(const char* page)
        : toWide(iconv_open("UTF-16LE", page)), toBytes(iconv_open(page, "UTF-16LE")) {}
    iconv_t toWide;
    iconv_t toBytes;
    std::mutex lock;
};

Converter& ConverterFor(unsigned page)
{
    // Never closed: conversions may run while the process exits.
    static Converter* c1252 = new Converter("CP1252");
    static Converter* c932 = new Converter("CP932");
    return page == 932 ? *c932 : *c1252;
}

// Code page bytes to UTF-16, character by character, as Windows maps them.
std::u16string PageToWide(unsigned page, const unsigned char* s, size_t n)
{
    std::u16string out;
    Converter& c = ConverterFor(page);
    std::lock_guard<std::mutex> hold(c.lock);
    for (size_t i = 0; i < n;) {
        unsigned b = s[i];
        if (b < 0x80) {
            out += (char16_t)b;
            ++i;
            continue;
        }
        if (page == 932 && Is932Lead(b)) {
            if (i + 1 < n && s[i + 1] != 0 && ConvertOne(c.toWide, (const char*)s + i, 2, out)) {
                i += 2;
                continue;
            }
            // A lead byte without a valid trail: the default character for the lead byte; a
            // trail byte that is a character of its own is read again.
            out += u'\x30fb';
            ++i;
            continue;
        }
        if (!ConvertOne(c.toWide, (const char*)s + i, 1, out)) {
            // Bytes without a character map to the private-use area in 932 and to the same
            // code point (the C1 controls) in 1252, as Windows' tables do.
            out += page != 932 || b == 0x80 ? (char16_t)b : b == 0xA0 ? u'\xf8f0' : (char16_t)(0xF8F1 + (b - 0xFD));
        }
        ++i;
    }
    return out;
}

// UTF-16 to code page bytes; characters without a form become '?'.
std::string WideToPage(unsigned page, const char16_t* w, size_t n, bool& usedDefault)
{
    std::string out;
    Converter& c = ConverterFor(page);
    std::lock_guard<std::mutex> hold(c.lock);
    for (size_t i = 0; i < n; ++i) {
        char16_t u = w[i];
        if (u < 0x80) {
            out += (char)u;
            continue;
        }
        char bytes[8];
        char* in = reinterpret_cast<char*>(const_cast<char16_t*>(w + i));
        size_t inLeft = 2;
        bool pair = u >= 0xD800 && u < 0xDC00 && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000;
        if (pair)
            inLeft = 4;
        char* o = bytes;
        size_t outLeft = sizeof bytes;
        iconv(c.toBytes, nullptr, nullptr, nullptr, nullptr);
        if (iconv(c.toBytes, &in, &inLeft, &o, &outLeft) != (size_t)-1 && inLeft == 0) {
            out.append(bytes, sizeof bytes - outLeft);
        } else {
            out += '?';
            usedDefault = true;
        }
        if (pair)
            ++i;
    }
    return out;
}

// UTF-8 to UTF-16; invalid sequences become U+FFFD (what Windows does without
// MB_ERR_INVALID_CHARS).
std::u16string Utf8ToWide(const unsigned char* s, size_t n, bool& invalid)
{
    std::u16string out;
    for (size_t i = 0; i < n;) {
        unsigned b = s[i];
        if (b < 0x80) {
            out += (char16_t)b;
            ++i;
            continue;
        }
        int extra = b >= 0xF0 && b <= 0xF4 ? 3 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xC2 && b <= 0xDF ? 1 : -1;
        uint32_t cp = extra == 3 ? b & 0x07 : extra == 2 ? b & 0x0F : b & 0x1F;
        size_t j = i + 1;
        bool ok = extra > 0;
        for (int k = 0; ok && k < extra; ++k, ++j) {
            if (j >= n || (s[j] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            unsigned t = s[j];
            // Overlong forms, surrogates and code points above U+10FFFF are not text.
            if (k == 0 && ((extra == 2 && b == 0xE0 && t < 0xA0) || (extra == 2 && b == 0xED && t >= 0xA0) ||
                           (extra == 3 && b == 0xF0 && t < 0x90) || (extra == 3 && b == 0xF4 && t >= 0x90))) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        if (!ok) {
            out += u'\xfffd';
            invalid = true;
            i = j > i + 1 ? j : i + 1;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += (char16_t)(0xD800 + (cp >> 10));
            out += (char16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            out += (char16_t)cp;
        }
        i = j;
    }
    return out;
}

std::string WideToUtf8(const char16_t* w, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = w[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (w[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;  // a lone surrogate
        }
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | (cp >> 6));
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | (cp >> 12));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | (cp >> 18));
            out += (char)(0x80 | ((cp >> 12) & 0x3F));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

bool KnownPage(unsigned page) { return page == 1252 || page == 932 || page == CP_UTF8; }

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD code) { t_lastError = code; }

DWORD WINAPI FormatMessageA(DWORD, LPCVOID, DWORD id, DWORD, LPSTR buffer, DWORD size, va_list*)
{
    // No system message tables on the host: a neutral text, ended as Windows' are, for the
    // system's own codes; customer codes (bit 29) and unknown ones have no message.
    if ((id & 0x20000000) || id >= 16000) {
        SetLastError(317);  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    int n = snprintf(buffer, size, "System error %lu.\r\n", (unsigned long)id);
    if (n < 0 || (DWORD)n >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return (DWORD)n;
}

void WINAPI OutputDebugStringA(LPCSTR text)
{
    // The debugger output goes nowhere unless asked for, as on a machine without a debugger.
    static const bool show = getenv("SARNIK_HOST_DEBUG_OUTPUT") != nullptr;
    if (show && text)
        fputs(text, stderr);
}

UINT WINAPI GetACP(void) { return HostAnsiCodePage(); }

UINT WINAPI GetOEMCP(void) { return HostAnsiCodePage(); }

BOOL WINAPI IsDBCSLeadByteEx(UINT codePage, BYTE c)
{
    return ResolvePage(codePage) == 932 && Is932Lead(c);
}

BOOL WINAPI IsDBCSLeadByte(BYTE c) { return IsDBCSLeadByteEx(CP_ACP, c); }

LPSTR WINAPI CharNextA(LPCSTR p)
{
    if (!*p)
        return const_cast<LPSTR>(p);
    if (IsDBCSLeadByte((BYTE)*p) && p[1])
        return const_cast<LPSTR>(p + 2);
    return const_cast<LPSTR>(p + 1);
}

DWORD WINAPI CharLowerBuffW(LPWSTR text, DWORD length)
{
    // The C locale knows case for ASCII only; C.UTF-8 has the Unicode tables Windows lowers by.
    static locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (!text)
        return 0;
    for (DWORD i = 0; i < length; ++i) {
        unsigned unit = (unsigned short)text[i];
        // A surrogate is half a character: Windows leaves it as it is.
        if (unit >= 0xD800 && unit <= 0xDFFF)
            continue;
        wint_t lower = unicode ? towlower_l(unit, unicode) : (unit < 0x80 ? (wint_t)tolower((int)unit) : unit);
        if (lower <= 0xFFFF)
            text[i] = (wchar_t)lower;
    }
    return length;
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count, LPWSTR out, int outCount)
{
    unsigned page = ResolvePage(codePage);
    if (!KnownPage(page)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!text || count == 0 || count < -1 || outCount < 0 || (out && (const void*)out == (const void*)text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = count == -1 ? strlen(text) + 1 : (size_t)count;
    bool invalid = false;
    std::u16string wide = page == CP_UTF8 ? Utf8ToWide((const unsigned char*)text, n, invalid)
                                          : PageToWide(page, (const unsigned char*)text, n);
    if (invalid && (flags & MB_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (outCount == 0)
        return (int)wide.size();
    if (wide.size() > (size_t)outCount) {
        memcpy(out, wide.data(), (size_t)outCount * 2);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(out, wide.data(), wide.size() * 2);
    return (int)wide.size();
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR text, int count, LPSTR out, int outCount,
                               LPCSTR defaultChar, LPBOOL usedDefault)
{
    unsigned page = ResolvePage(codePage);
    if (!KnownPage(page) || (page == CP_UTF8 && (defaultChar || usedDefault))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!text || count == 0 || count < -1 || outCount < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char16_t* w = reinterpret_cast<const char16_t*>(text);
    size_t n = 0;
    if (count == -1) {
        while (w[n])
            ++n;
        ++n;
    } else {
        n = (size_t)count;
    }
    bool used = false;
    std::string bytes = page == CP_UTF8 ? WideToUtf8(w, n) : WideToPage(page, w, n, used);
    if (usedDefault)
        *usedDefault = used;
    if (outCount == 0)
        return (int)bytes.size();
    if (bytes.size() > (size_t)outCount) {
        memcpy(out, bytes.data(), (size_t)outCount);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(out, bytes.data(), bytes.size());
    return (int)bytes.size();
}

LONG WINAPI InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedExchange(LONG volatile* p, LONG value) { return __atomic_exchange_n(p, value, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(((CRITICAL_SECTION*)nullptr)->Storage), "critical section storage");

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(section->Storage), &attributes);
    pthread_mutexattr_destroy(&attributes);
    section->Impl = section->Storage;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(section->Storage));
    section->Impl = nullptr;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(section->Storage));
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(section->Storage));
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section)
{
    return pthread_mutex_trylock(reinterpret_cast<pthread_mutex_t*>(section->Storage)) == 0;
}

}  // extern "C"

namespace {

// Events and the zlib module are the only handles the host hands out.
struct HostEvent {
    std::mutex lock;
    std::condition_variable changed;
    bool manualReset;
    bool signaled;
};

const uint32_t kEventTag = 0x45564e54;
struct EventHandle {
    uint32_t tag;
    HostEvent event;
};

// Files held in memory, by their exact path.
struct MemoryFile {
    std::string path;
    std::string bytes;
};
std::vector<MemoryFile>& MemoryFiles()
{
    static std::vector<MemoryFile>* files = new std::vector<MemoryFile>;
    return *files;
}
std::mutex& MemoryFilesLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

// Folders made during the run; drive roots always exist.
std::vector<std::string>& MemoryFolders()
{
    static std::vector<std::string>* folders = new std::vector<std::string>;
    return *folders;
}

std::string FolderKey(const char* path)
{
    std::string key = path;
    while (key.size() > 3 && (key.back() == '\\' || key.back() == '/'))
        key.pop_back();
    for (char& c : key)
        c = (char)tolower((unsigned char)c);
    return key;
}

bool IsDriveRoot(const std::string& key)
{
    return (key.size() == 2 || (key.size() == 3 && key[2] == '\\')) && isalpha((unsigned char)key[0]) && key[1] == ':';
}

// Caller holds MemoryFilesLock.
bool FolderExists(const std::string& key)
{
    if (IsDriveRoot(key))
        return true;
    for (const std::string& folder : MemoryFolders()) {
        if (folder == key)
            return true;
    }
    return false;
}

std::string Narrow(LPCWSTR text)
{
    std::string out;
    for (; text && *text; ++text)
        out += *text < 0x80 ? (char)*text : '?';
    return out;
}

const uint32_t kFileTag = 0x46494c45;
struct MemoryFileHandle {
    uint32_t tag;
    std::string path;
    std::string bytes;
    uint64_t position;
    bool write;
};

MemoryFileHandle* AsFile(HANDLE handle)
{
    MemoryFileHandle* h = static_cast<MemoryFileHandle*>(handle);
    return h && handle != INVALID_HANDLE_VALUE && h->tag == kFileTag ? h : nullptr;
}

int g_zlibModule;
HMODULE ZlibModule() { return reinterpret_cast<HMODULE>(&g_zlibModule); }

int g_selfModule;

bool EndsWithNoCase(const char* text, const char* end)
{
    size_t n = strlen(text), m = strlen(end);
    return n >= m && strcasecmp(text + n - m, end) == 0;
}

}  // namespace

extern "C" {

// The C runtime's fopen (linked with --wrap=fopen) reads memory files too.
FILE* __real_fopen(const char* path, const char* mode);
FILE* __wrap_fopen(const char* path, const char* mode)
{
    if (path && mode && mode[0] == 'r' && !strchr(mode, '+')) {
        std::lock_guard<std::mutex> hold(MemoryFilesLock());
        for (MemoryFile& file : MemoryFiles()) {
            if (file.path == path) {
                if (file.bytes.empty())
                    return __real_fopen("/dev/null", "rb");
                return fmemopen(&file.bytes[0], file.bytes.size(), "rb");
            }
        }
    }
    return __real_fopen(path, mode);
}

void HostSetMemoryFile(const char* path, const void* data, size_t size)
{
    std::lock_guard<std::mutex> hold(MemoryFilesLock());
    std::vector<MemoryFile>& files = MemoryFiles();
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].path == path) {
            files.erase(files.begin() + i);
            break;
        }
    }
    if (data)
        files.push_back({path, std::string(static_cast<const char*>(data), size)});
}

HANDLE WINAPI GetProcessHeap(void)
{
    static int heap;
    return &heap;
}

LPVOID WINAPI HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes)
{
    return (flags & 0x8) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);  // HEAP_ZERO_MEMORY
}

BOOL WINAPI HeapFree(HANDLE, DWORD, LPVOID block)
{
    free(block);
    return TRUE;
}

void WINAPI GetSystemInfo(LPSYSTEM_INFO info)
{
    memset(info, 0, sizeof *info);
    info->dwPageSize = (DWORD)sysconf(_SC_PAGESIZE);
    info->dwAllocationGranularity = 65536;
    info->dwNumberOfProcessors = (DWORD)sysconf(_SC_NPROCESSORS_ONLN);
}

namespace {

int PosixProtection(DWORD protect)
{
    return protect == PAGE_READWRITE ? PROT_READ | PROT_WRITE : protect == PAGE_READONLY ? PROT_READ : PROT_NONE;
}

// Sizes of the blocks VirtualAlloc made, for VirtualFree's size 0.
std::vector<std::pair<void*, size_t>>& Mappings()
{
    static std::vector<std::pair<void*, size_t>>* mappings = new std::vector<std::pair<void*, size_t>>;
    return *mappings;
}

}  // namespace

LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD, DWORD protect)
{
    if (address || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* p = mmap(nullptr, size, PosixProtection(protect), MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(MemoryFilesLock());
    Mappings().push_back({p, size});
    return p;
}

BOOL WINAPI VirtualProtect(LPVOID address, SIZE_T size, DWORD protect, LPDWORD oldProtect)
{
    if (oldProtect)
        *oldProtect = PAGE_READWRITE;
    if (mprotect(address, size, PosixProtection(protect)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI VirtualFree(LPVOID address, SIZE_T, DWORD)
{
    std::lock_guard<std::mutex> hold(MemoryFilesLock());
    std::vector<std::pair<void*, size_t>>& mappings = Mappings();
    for (size_t i = 0; i < mappings.size(); ++i) {
        if (mappings[i].first == address) {
            munmap(address, mappings[i].second);
            mappings.erase(mappings.begin() + i);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL WINAPI SwitchToThread(void)
{
    sched_yield();
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    if (name) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    EventHandle* h = new EventHandle;
    h->tag = kEventTag;
    h->event.manualReset = manualReset != FALSE;
    h->event.signaled = initialState != FALSE;
    return h;
}

BOOL WINAPI SetEvent(HANDLE handle)
{
    EventHandle* h = static_cast<EventHandle*>(handle);
    if (!h || h->tag != kEventTag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> hold(h->event.lock);
        h->event.signaled = true;
    }
    if (h->event.manualReset)
        h->event.changed.notify_all();
    else
        h->event.changed.notify_one();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    EventHandle* h = static_cast<EventHandle*>(handle);
    if (!h || h->tag != kEventTag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> hold(h->event.lock);
    auto ready = [h] { return h->event.signaled; };
    if (milliseconds == INFINITE)
        h->event.changed.wait(hold, ready);
    else if (!h->event.changed.wait_for(hold, std::chrono::milliseconds(milliseconds), ready))
        return WAIT_TIMEOUT;
    if (!h->event.manualReset)
        h->event.signaled = false;
    return WAIT_OBJECT_0;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    if (MemoryFileHandle* file = AsFile(handle)) {
        // What was written becomes the file's content when the handle closes.
        if (file->write) {
            std::lock_guard<std::mutex> hold(MemoryFilesLock());
            bool stored = false;
            for (MemoryFile& f : MemoryFiles()) {
                if (f.path == file->path) {
                    f.bytes = file->bytes;
                    stored = true;
                }
            }
            if (!stored)
                MemoryFiles().push_back({file->path, file->bytes});
        }
        file->tag = 0;
        delete file;
        return TRUE;
    }
    EventHandle* h = static_cast<EventHandle*>(handle);
    if (!h || handle == INVALID_HANDLE_VALUE || h->tag != kEventTag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    h->tag = 0;
    delete h;
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return (DWORD)syscall(SYS_gettid); }

void WINAPI Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    struct timespec t = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

DWORD WINAPI GetTickCount(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (DWORD)((uint64_t)t.tv_sec * 1000 + (uint64_t)t.tv_nsec / 1000000);
}

// 10 MHz, the rate current Windows versions report.
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency)
{
    frequency->QuadPart = 10000000LL;
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* counter)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    counter->QuadPart = (LONGLONG)t.tv_sec * 10000000LL + t.tv_nsec / 100;
    return TRUE;
}

HMODULE WINAPI LoadLibraryA(LPCSTR name)
{
    if (name && EndsWithNoCase(name, "zqzlibwapi.dll"))
        return ZlibModule();
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE module)
{
    return module == ZlibModule() || module == reinterpret_cast<HMODULE>(&g_selfModule);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name)
{
    if (module == ZlibModule() && name) {
        if (strcmp(name, "compress") == 0)
            return reinterpret_cast<FARPROC>(&compress);
        if (strcmp(name, "compressBound") == 0)
            return reinterpret_cast<FARPROC>(&compressBound);
        if (strcmp(name, "uncompress") == 0)
            return reinterpret_cast<FARPROC>(&uncompress);
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR, HMODULE* module)
{
    // Only "the module of this code" exists: the host program, in a folder of its own.
    if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        *module = reinterpret_cast<HMODULE>(&g_selfModule);
        return TRUE;
    }
    *module = nullptr;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
    if (module != reinterpret_cast<HMODULE>(&g_selfModule) || size == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const char name[] = "C:\\HostBin\\host.exe";
    DWORD n = (DWORD)strlen(name);
    if (n >= size) {
        memcpy(buffer, name, size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buffer, name, n + 1);
    return n;
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    char narrow[MAX_PATH];
    DWORD n = GetModuleFileNameA(module, narrow, MAX_PATH);
    if (n == 0 || size == 0)
        return 0;
    if (n >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    for (DWORD i = 0; i <= n; ++i)
        buffer[i] = (wchar_t)(unsigned char)narrow[i];
    return n;
}

// ---------------------------------------------------------------------------------------------
// Machine-tied calls: left out.

// The host machine's disk is empty apart from the memory files and cannot be written: lookups
// answer "not found" and changes "access denied", as a real machine can.
#define HOST_NOT_FOUND(result)              \
    do {                                    \
        SetLastError(ERROR_FILE_NOT_FOUND); \
        return result;                      \
    } while (0)
#define HOST_DENIED(result)                  \
    do {                                     \
        SetLastError(ERROR_ACCESS_DENIED);   \
        return result;                       \
    } while (0)

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE)
{
    if (!path || !*path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> hold(MemoryFilesLock());
    MemoryFile* file = nullptr;
    for (MemoryFile& f : MemoryFiles()) {
        if (f.path == path)
            file = &f;
    }
    if (FolderExists(FolderKey(path))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    bool exists = file != nullptr;
    if ((disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) && !exists) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW && exists) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    bool write = (access & GENERIC_WRITE) != 0;
    if (!exists) {
        if (!write && disposition != OPEN_ALWAYS) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        MemoryFiles().push_back({path, std::string()});
        file = &MemoryFiles().back();
    } else if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        file->bytes.clear();
    }
    MemoryFileHandle* h = new MemoryFileHandle;
    h->tag = kFileTag;
    h->path = path;
    h->bytes = file->bytes;
    h->position = 0;
    h->write = write;
    // CREATE_ALWAYS and OPEN_ALWAYS tell an existing file by ERROR_ALREADY_EXISTS, as Windows does.
    SetLastError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0);
    return h;
}
HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                          DWORD flags, HANDLE pattern)
{
    std::string narrow = Narrow(path);
    // The long-path form names the same file.
    if (narrow.compare(0, 8, "\\\\?\\UNC\\") == 0)
        narrow = "\\" + narrow.substr(7);
    else if (narrow.compare(0, 4, "\\\\?\\") == 0)
        narrow = narrow.substr(4);
    return CreateFileA(narrow.c_str(), access, share, attributes, disposition, flags, pattern);
}
BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD got, void*)
{
    MemoryFileHandle* h = AsFile(handle);
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uint64_t left = h->position < h->bytes.size() ? h->bytes.size() - h->position : 0;
    DWORD n = left < count ? (DWORD)left : count;
    if (n)
        memcpy(buffer, h->bytes.data() + h->position, n);
    h->position += n;
    if (got)
        *got = n;
    return TRUE;
}
BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written, void*)
{
    MemoryFileHandle* h = AsFile(handle);
    if (!h || !h->write) {
        SetLastError(h ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (h->position > h->bytes.size())
        h->bytes.resize(h->position, '\0');
    h->bytes.replace(h->position, std::min<uint64_t>(count, h->bytes.size() - h->position),
                     static_cast<const char*>(buffer), count);
    h->position += count;
    if (written)
        *written = count;
    return TRUE;
}
BOOL WINAPI SetEndOfFile(HANDLE handle)
{
    MemoryFileHandle* h = AsFile(handle);
    if (!h || !h->write) {
        SetLastError(h ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    h->bytes.resize(h->position, '\0');
    return TRUE;
}
BOOL WINAPI SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method)
{
    MemoryFileHandle* h = AsFile(handle);
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int64_t base = method == FILE_BEGIN ? 0 : method == FILE_CURRENT ? (int64_t)h->position : (int64_t)h->bytes.size();
    int64_t target = base + distance.QuadPart;
    if (target < 0) {
        SetLastError(131);  // ERROR_NEGATIVE_SEEK
        return FALSE;
    }
    h->position = (uint64_t)target;
    if (position)
        position->QuadPart = target;
    return TRUE;
}
DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD high)
{
    MemoryFileHandle* h = AsFile(handle);
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    if (high)
        *high = 0;
    return (DWORD)h->bytes.size();
}
BOOL WINAPI GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size)
{
    MemoryFileHandle* h = AsFile(handle);
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    size->QuadPart = (LONGLONG)h->bytes.size();
    return TRUE;
}
BOOL WINAPI GetFileTime(HANDLE, LPFILETIME, LPFILETIME, LPFILETIME) { HOST_NOT_FOUND(FALSE); }
LONG WINAPI CompareFileTime(const FILETIME* a, const FILETIME* b)
{
    uint64_t x = ((uint64_t)a->dwHighDateTime << 32) | a->dwLowDateTime;
    uint64_t y = ((uint64_t)b->dwHighDateTime << 32) | b->dwLowDateTime;
    return x < y ? -1 : x > y ? 1 : 0;
}
DWORD WINAPI GetFileAttributesA(LPCSTR path)
{
    if (path) {
        std::lock_guard<std::mutex> hold(MemoryFilesLock());
        if (FolderExists(FolderKey(path)))
            return FILE_ATTRIBUTE_DIRECTORY;
        for (const MemoryFile& file : MemoryFiles()) {
            if (path && file.path == path)
                return FILE_ATTRIBUTE_NORMAL;
        }
    }
    HOST_NOT_FOUND(INVALID_FILE_ATTRIBUTES);
}
DWORD WINAPI GetFileAttributesW(LPCWSTR path)
{
    std::string narrow = Narrow(path);
    return GetFileAttributesA(narrow.c_str());
}
BOOL WINAPI SetFileAttributesA(LPCSTR, DWORD) { HOST_DENIED(FALSE); }
BOOL WINAPI SetFileAttributesW(LPCWSTR, DWORD) { HOST_DENIED(FALSE); }
BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES)
{
    if (!path || !*path)
        HOST_NOT_FOUND(FALSE);
    std::string key = FolderKey(path);
    std::lock_guard<std::mutex> hold(MemoryFilesLock());
    if (FolderExists(key)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    size_t cut = key.find_last_of("\\/");
    if (cut == std::string::npos || !FolderExists(key.substr(0, cut))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    MemoryFolders().push_back(key);
    return TRUE;
}
BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    std::string narrow = Narrow(path);
    return CreateDirectoryA(narrow.c_str(), attributes);
}
BOOL WINAPI RemoveDirectoryA(LPCSTR) { HOST_DENIED(FALSE); }
BOOL WINAPI RemoveDirectoryW(LPCWSTR) { HOST_DENIED(FALSE); }
BOOL WINAPI DeleteFileA(LPCSTR) { HOST_DENIED(FALSE); }
BOOL WINAPI DeleteFileW(LPCWSTR) { HOST_DENIED(FALSE); }
BOOL WINAPI CopyFileA(LPCSTR, LPCSTR, BOOL) { HOST_DENIED(FALSE); }
BOOL WINAPI MoveFileExA(LPCSTR, LPCSTR, DWORD) { HOST_DENIED(FALSE); }
HANDLE WINAPI FindFirstFileA(LPCSTR, WIN32_FIND_DATAA*) { HOST_NOT_FOUND(INVALID_HANDLE_VALUE); }
HANDLE WINAPI FindFirstFileW(LPCWSTR, WIN32_FIND_DATAW*) { HOST_NOT_FOUND(INVALID_HANDLE_VALUE); }
BOOL WINAPI FindNextFileA(HANDLE, WIN32_FIND_DATAA*) { HOST_NOT_FOUND(FALSE); }
HANDLE WINAPI FindFirstFileExA(LPCSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD) { HOST_NOT_FOUND(INVALID_HANDLE_VALUE); }
HANDLE WINAPI FindFirstFileExW(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD) { HOST_NOT_FOUND(INVALID_HANDLE_VALUE); }
BOOL WINAPI FindNextFileW(HANDLE, WIN32_FIND_DATAW*) { HOST_NOT_FOUND(FALSE); }
BOOL WINAPI FindClose(HANDLE) { HOST_NOT_FOUND(FALSE); }
DWORD WINAPI GetCurrentDirectoryA(DWORD, LPSTR) { HOST_NOT_FOUND(0); }
DWORD WINAPI GetCurrentDirectoryW(DWORD, LPWSTR) { HOST_NOT_FOUND(0); }
DWORD WINAPI GetLongPathNameA(LPCSTR, LPSTR, DWORD) { HOST_NOT_FOUND(0); }
DWORD WINAPI GetLongPathNameW(LPCWSTR, LPWSTR, DWORD) { HOST_NOT_FOUND(0); }
// The host's disk has no short names: a path the code page lacks stays without one.
DWORD WINAPI GetShortPathNameW(LPCWSTR, LPWSTR, DWORD) { HOST_NOT_FOUND(0); }
DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR, LPSTR, DWORD) { HOST_NOT_FOUND(0); }
DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR, LPWSTR, DWORD) { HOST_NOT_FOUND(0); }
DWORD WINAPI GetEnvironmentVariableA(LPCSTR, LPSTR, DWORD)
{
    SetLastError(203);  // ERROR_ENVVAR_NOT_FOUND
    return 0;
}

DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultText, LPSTR out, DWORD size)
{
    // The one user setting the framework reads: the host user writes decimals with a comma, so
    // that every test meets a separator other than the "C" locale's.
    const char* value = section && key && strcasecmp(section, "intl") == 0 && strcasecmp(key, "sDecimal") == 0
                            ? ","
                            : (defaultText ? defaultText : "");
    if (!out || size == 0)
        return 0;
    size_t n = strlen(value);
    if (n >= size)
        n = size - 1;
    memcpy(out, value, n);
    out[n] = '\0';
    return (DWORD)n;
}

LONG WINAPI RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, HKEY* key)
{
    if (key)
        *key = nullptr;
    return ERROR_FILE_NOT_FOUND;
}
LONG WINAPI RegCloseKey(HKEY) { return ERROR_INVALID_HANDLE; }
LONG WINAPI RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_FILE_NOT_FOUND; }
LONG WINAPI RegEnumValueA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_NO_MORE_ITEMS; }
LONG WINAPI RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_FILE_NOT_FOUND; }
LONG WINAPI RegEnumValueW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_NO_MORE_ITEMS; }
LONG WINAPI RegCreateKeyExA(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, HKEY* key, LPDWORD)
{
    if (key)
        *key = nullptr;
    return ERROR_ACCESS_DENIED;
}
LONG WINAPI RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_ACCESS_DENIED; }
LONG WINAPI RegDeleteValueA(HKEY, LPCSTR) { return ERROR_FILE_NOT_FOUND; }
LONG WINAPI RegDeleteKeyA(HKEY, LPCSTR) { return ERROR_FILE_NOT_FOUND; }
LONG WINAPI RegDeleteKeyExA(HKEY, LPCSTR, REGSAM, DWORD) { return ERROR_FILE_NOT_FOUND; }
HRESULT WINAPI SHGetFolderPathA(HWND, int folder, HANDLE, DWORD, LPSTR path)
{
    const char* where = folder == CSIDL_COMMON_DOCUMENTS ? "C:\\Users\\Public\\Documents"
                        : folder == CSIDL_LOCAL_APPDATA  ? "C:\\Users\\host\\AppData\\Local"
                        : folder == CSIDL_COMMON_APPDATA ? "C:\\ProgramData"
                                                         : nullptr;
    if (!path)
        return E_FAIL;
    path[0] = '\0';
    if (!where)
        return E_FAIL;
    strcpy(path, where);
    return S_OK;
}
HRESULT WINAPI SHGetFolderPathW(HWND window, int folder, HANDLE token, DWORD flags, LPWSTR path)
{
    char narrow[MAX_PATH];
    HRESULT result = SHGetFolderPathA(window, folder, token, flags, narrow);
    if (path && SUCCEEDED(result))
        for (size_t i = 0; i == 0 || narrow[i - 1]; ++i)
            path[i] = (wchar_t)(unsigned char)narrow[i];
    return result;
}
HDC WINAPI CreateCompatibleDC(HDC) { HOST_NOT_FOUND(nullptr); }
BOOL WINAPI DeleteDC(HDC) { return FALSE; }
HGDIOBJ WINAPI SelectObject(HDC, HGDIOBJ) { return nullptr; }
int WINAPI DrawTextA(HDC, LPSTR, int, LPRECT, UINT) { HOST_NOT_FOUND(0); }

// ---------------------------------------------------------------------------------------------
// System strings

BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length)
{
    if (length > 0x3FFFFFF0u)
        return nullptr;
    char* block = static_cast<char*>(malloc(sizeof(uint32_t) + (size_t)length * 2 + 2));
    if (!block)
        return nullptr;
    uint32_t bytes = length * 2;
    memcpy(block, &bytes, sizeof bytes);
    BSTR s = reinterpret_cast<BSTR>(block + sizeof(uint32_t));
    if (text)
        memcpy(s, text, (size_t)length * 2);
    else
        memset(s, 0, (size_t)length * 2);
    s[length] = 0;
    return s;
}

BSTR WINAPI SysAllocString(const OLECHAR* text)
{
    if (!text)
        return nullptr;
    UINT n = 0;
    while (text[n])
        ++n;
    return SysAllocStringLen(text, n);
}

void WINAPI SysFreeString(BSTR text)
{
    if (text)
        free(reinterpret_cast<char*>(text) - sizeof(uint32_t));
}

UINT WINAPI SysStringLen(BSTR text)
{
    if (!text)
        return 0;
    uint32_t bytes;
    memcpy(&bytes, reinterpret_cast<char*>(text) - sizeof(uint32_t), sizeof bytes);
    return bytes / 2;
}

// ---------------------------------------------------------------------------------------------
// wchar_t is 16 bits in this build (-fshort-wchar) but glibc's wide functions count 32-bit
// units: the ones the framework, its tests and libstdc++'s wstring reach are defined here and
// take precedence over the C library's.

size_t wcslen(const wchar_t* s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

int wcscmp(const wchar_t* a, const wchar_t* b)
{
    for (;; ++a, ++b) {
        unsigned x = (unsigned short)*a, y = (unsigned short)*b;
        if (x != y)
            return x < y ? -1 : 1;
        if (!x)
            return 0;
    }
}

int wmemcmp(const wchar_t* a, const wchar_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        unsigned x = (unsigned short)a[i], y = (unsigned short)b[i];
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

wchar_t* wmemcpy(wchar_t* d, const wchar_t* s, size_t n) { return (wchar_t*)memcpy(d, s, n * 2); }
wchar_t* wmemmove(wchar_t* d, const wchar_t* s, size_t n) { return (wchar_t*)memmove(d, s, n * 2); }

wchar_t* wmemset(wchar_t* d, wchar_t c, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        d[i] = c;
    return d;
}

wchar_t* wmemchr(const wchar_t* s, wchar_t c, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == c)
            return const_cast<wchar_t*>(s + i);
    }
    return nullptr;
}

}  // extern "C"

// A 32-bit Windows process gets no more than 2 GB; allocations the framework makes from untrusted
// sizes must fail there as they fail on Windows (null from malloc, std::bad_alloc from new), so the
// sanitizer's allocator answers as the system would instead of ending the run.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}
