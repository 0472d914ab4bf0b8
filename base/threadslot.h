// One pointer-sized value per thread, in a slot of the system's thread-local
// storage. Unlike C++ thread_local (emulated through the threads library in
// this toolchain), nothing of it stays behind when the module is unloaded:
// keep one as a namespace-scope object, made at load and freed at unload.
#pragma once
#include <windows.h>

class CThreadSlot {
public:
    CThreadSlot() : m_index(TlsAlloc()) {}
    ~CThreadSlot() {
        if (m_index != TLS_OUT_OF_INDEXES) TlsFree(m_index);
    }
    CThreadSlot(const CThreadSlot&) = delete;
    CThreadSlot& operator=(const CThreadSlot&) = delete;

    // Both keep the thread's last error (TlsGetValue clears it).
    void* get() const {
        if (m_index == TLS_OUT_OF_INDEXES) return nullptr;
        DWORD error = GetLastError();
        void* value = TlsGetValue(m_index);
        SetLastError(error);
        return value;
    }
    void set(void* value) const {
        if (m_index == TLS_OUT_OF_INDEXES) return;
        DWORD error = GetLastError();
        TlsSetValue(m_index, value);
        SetLastError(error);
    }

private:
    DWORD m_index;
};
