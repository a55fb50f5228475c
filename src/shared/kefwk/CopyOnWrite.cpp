#include "CopyOnWrite.h"

#include <windows.h>

#include <malloc.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "ErrorTables.h"
#include "KEException.h"

static_assert(sizeof(void*) != 4 || sizeof(CopyOnWriteMemory) == 16, "layout of the shared text memory");

namespace {

[[noreturn]] void ThrowOutOfMemory(int line)
{
    ThrowKEException(nullptr, "CopyOnWriteMemory::ResizeBuffer", KE_OUT_OF_MEMORY, 0, KE_SOURCE_FILE, line, __TIME__);
}

// Deletes a half-made memory object when ResizeBuffer raises.
struct PendingMemory {
    CopyOnWriteMemory* memory;
    ~PendingMemory() { if (memory) memory->Release(); }
};

} // namespace

CopyOnWriteMemory::CopyOnWriteMemory(const char* data, int size, bool copy)
    : m_size(0), m_data(nullptr), m_owned(false), m_refCount(1)
{
    if (!copy) {
        m_data = const_cast<char*>(data);
        m_size = size;
        return;
    }
    ResizeBuffer(size, false, true);
    if (data && size > 0)
        memcpy(m_data, data, size);
}

CopyOnWriteMemory::~CopyOnWriteMemory()
{
    if (m_owned)
        free(m_data);
}

CopyOnWriteMemory* CopyOnWriteMemory::SharedEmpty()
{
    // Built in place and never destroyed: DynamicStrings with static storage may still release
    // it while the process exits, after function-local statics are gone.
    alignas(CopyOnWriteMemory) static unsigned char storage[sizeof(CopyOnWriteMemory)];
    static CopyOnWriteMemory* empty = new (storage) CopyOnWriteMemory("", 1, false);
    return empty;
}

void CopyOnWriteMemory::AddRef()
{
    InterlockedIncrement(&m_refCount);
}

void CopyOnWriteMemory::Release()
{
    if (InterlockedDecrement(&m_refCount) == 0)
        delete this;
}

void CopyOnWriteMemory::ResizeBuffer(int n, bool keepContents, bool exact)
{
    // Computed wide so that a huge request is refused rather than wrapped into a small one.
    int64_t want = n < 0 ? 0 : n;
    if (!exact) {
        // A fresh object has no block yet, whatever size is asked for (0 included): its holder
        // reads the text at the data pointer.
        if (m_data && m_size >= want)
            return;
        want = want + (want >> 5) + 4;
    }
    want = (want + 3) & ~int64_t(3);
    if (want > 0x7FFFFFF0)
        ThrowOutOfMemory(__LINE__);
    size_t bytes = size_t(want ? want : 4);

    if (m_owned) {
        char* grown = nullptr;
        if (!exact) {
            // A text that grows keeps growing (appends, replacements): its block doubles behind
            // the reported size, so that steady growth moves the bytes a logarithmic number of
            // times instead of once per margin step (the heap moves every large block it grows,
            // onto fresh pages). The reported size stays the one computed above.
            if (_msize(m_data) >= bytes) {
                m_size = int(want);
                return;
            }
            size_t roomy = bytes * 2;
            if (roomy <= 0x7FFFFFF0u)
                grown = static_cast<char*>(realloc(m_data, roomy));
        }
        if (!grown)
            grown = static_cast<char*>(realloc(m_data, bytes));
        if (!grown)
            ThrowOutOfMemory(__LINE__);
        m_data = grown;
        m_size = int(want);
        return;
    }
    char* fresh = static_cast<char*>(malloc(bytes));
    if (!fresh)
        ThrowOutOfMemory(__LINE__);
    if (keepContents && m_data)
        memcpy(fresh, m_data, m_size < want ? m_size : size_t(want));
    else
        fresh[0] = '\0';
    m_data = fresh;
    m_owned = true;
    m_size = int(want);
}

int CopyOnWriteMemory::DetachAndResize(CopyOnWriteMemory*& holder, int n, bool keepContents, bool exact)
{
    // Kept contents are the whole text and its terminator, however small the request: a copy
    // cut at n bytes would have no terminator and readers would run past the block.
    int textBytes = 0;
    if (keepContents && holder->m_data) {
        textBytes = holder->m_size;
        // Only a request below the block's size can cut the text; a growing one keeps it all
        // without a scan of the text on every growth step.
        if (n < holder->m_size) {
            const void* end = memchr(holder->m_data, '\0', holder->m_size);
            textBytes = end ? int(static_cast<const char*>(end) - holder->m_data) + 1 : holder->m_size;
            if (n < textBytes)
                n = textBytes;
        }
    }
    if (holder->m_refCount == 1) {
        holder->ResizeBuffer(n, keepContents, exact);
        return holder->m_size;
    }
    CopyOnWriteMemory* fresh = new (std::nothrow) CopyOnWriteMemory();
    if (!fresh)
        ThrowOutOfMemory(__LINE__);
    PendingMemory pending{fresh};
    fresh->ResizeBuffer(n, false, exact);
    if (textBytes > 0) {
        memcpy(fresh->m_data, holder->m_data, textBytes);
    } else if (fresh->m_size > 0) {
        fresh->m_data[0] = '\0';
    }
    pending.memory = nullptr;
    CopyOnWriteMemory* old = holder;
    holder = fresh;
    old->Release();
    return fresh->m_size;
}

char* CopyOnWriteMemory::DetachForWriting(CopyOnWriteMemory*& holder)
{
    if (holder->m_refCount == 1) {
        // A sole holder over a literal must still copy it: the literal is read-only.
        if (!holder->m_owned)
            holder->ResizeBuffer(holder->m_size, true, true);
        return holder->m_data;
    }
    CopyOnWriteMemory* fresh = new (std::nothrow) CopyOnWriteMemory();
    if (!fresh)
        ThrowOutOfMemory(__LINE__);
    PendingMemory pending{fresh};
    fresh->ResizeBuffer(holder->m_size, false, true);
    memcpy(fresh->m_data, holder->m_data, holder->m_size);
    pending.memory = nullptr;
    CopyOnWriteMemory* old = holder;
    holder = fresh;
    old->Release();
    return fresh->m_data;
}

void CopyOnWriteMemory::AdoptForeignBuffer(CopyOnWriteMemory*& holder, const char* data, int size)
{
    if (holder->m_refCount == 1) {
        if (holder->m_owned)
            free(holder->m_data);
        holder->m_data = const_cast<char*>(data);
        holder->m_size = size;
        holder->m_owned = false;
        return;
    }
    CopyOnWriteMemory* fresh = new (std::nothrow) CopyOnWriteMemory(data, size, false);
    if (!fresh)
        ThrowOutOfMemory(__LINE__);
    CopyOnWriteMemory* old = holder;
    holder = fresh;
    old->Release();
}
