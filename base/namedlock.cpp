#include "base/namedlock.h"
#include <cwchar>
#include <cwctype>
#include <strsafe.h>

void lockName(wchar_t* target, size_t capacity, const wchar_t* prefix, const wchar_t* text) {
    unsigned long long hash = 1469598103934665603ULL;  // FNV-1a
    for (const wchar_t* p = text; p && *p; ++p) {
        hash ^= static_cast<unsigned long long>(towlower(*p));
        hash *= 1099511628211ULL;
    }
    StringCchPrintfW(target, capacity, L"Local\\%s-%016I64x", prefix, hash);
}

CNamedLock::CNamedLock(const wchar_t* prefix, const wchar_t* text) {
    wchar_t name[64];
    lockName(name, 64, prefix, text);
    m_mutex.reset(CreateMutexW(nullptr, FALSE, name));
}

bool CNamedLock::lock(DWORD timeoutMs) {
    if (!m_mutex) return false;
    DWORD wait = WaitForSingleObject(m_mutex.get(), timeoutMs);
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

void CNamedLock::unlock() {
    if (m_mutex) ReleaseMutex(m_mutex.get());
}

bool namedLockExists(const wchar_t* prefix, const wchar_t* text) {
    wchar_t name[64];
    lockName(name, 64, prefix, text);
    unique_handle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name));
    return static_cast<bool>(mutex);
}
