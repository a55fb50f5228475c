// Reference-counted text memory shared by DynamicString copies until one of them writes.
#pragma once

#include <windows.h>

class CopyOnWriteMemory {
public:
    // copy false: refers to the caller's bytes without owning them (literals).
    // copy true: allocates size bytes and copies them; raises KE_OUT_OF_MEMORY.
    CopyOnWriteMemory(const char* data, int size, bool copy);
    CopyOnWriteMemory(const CopyOnWriteMemory&) = delete;
    CopyOnWriteMemory& operator=(const CopyOnWriteMemory&) = delete;

    // The memory every empty DynamicString shares; it is never freed.
    static CopyOnWriteMemory* SharedEmpty();

    void AddRef();
    // The holder that drops the last reference frees the memory.
    void Release();
    LONG GetRefCount() const { return m_refCount; }

    int GetSize() const { return m_size; }
    char* GetData() const { return m_data; }
    bool IsOwned() const { return m_owned; }

    // Grows to at least n bytes (with a margin unless exact). On failure raises
    // KE_OUT_OF_MEMORY and leaves the object unchanged.
    void ResizeBuffer(int n, bool keepContents, bool exact);

    // The holder's memory made private (count 1) and sized; returns the usable size.
    static int DetachAndResize(CopyOnWriteMemory*& holder, int n, bool keepContents, bool exact);
    // The holder's memory made private and owned, so that writing cannot reach a literal or
    // another holder; returns the data.
    static char* DetachForWriting(CopyOnWriteMemory*& holder);
    // The holder refers to the caller's bytes from now on (not owned).
    static void AdoptForeignBuffer(CopyOnWriteMemory*& holder, const char* data, int size);

private:
    CopyOnWriteMemory() : m_size(0), m_data(nullptr), m_owned(false), m_refCount(1) {}
    ~CopyOnWriteMemory();

    int m_size;
    char* m_data;
    bool m_owned;
    volatile LONG m_refCount;  // the interlocked functions take a LONG: 32 bits on both architectures
};
