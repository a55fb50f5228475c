// Owning wrapper for kernel handles (processes, threads, mutexes). Closed exactly once.
#pragma once

#include <windows.h>

class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE h) : m_h(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~ScopedHandle() { Close(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : m_h(other.Detach()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Attach(other.Detach());
        return *this;
    }

    HANDLE Get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    void Attach(HANDLE h) {
        Close();
        m_h = (h == INVALID_HANDLE_VALUE) ? nullptr : h;
    }
    HANDLE Detach() {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    void Close() {
        if (m_h) ::CloseHandle(m_h);
        m_h = nullptr;
    }

private:
    HANDLE m_h = nullptr;
};
