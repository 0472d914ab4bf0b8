// Named mutexes that serialise work on one thing (a file, a registry key)
// across threads and processes, and mark a running job. They live in a
// private namespace bounded by the administrators' group, which the spooler
// (the system account) and administrators' tools share; a namespace that
// cannot be had leaves the lock invalid. Only where the platform has no
// boundary descriptors (Wine) they live under "Local\" with an access list
// for the system and administrators, and an object found there already is
// used only when its owner is trusted.
#pragma once
#include <windows.h>
#include "base/unique.h"

// The boundary-descriptor and private-namespace calls; tests give stand-ins
// (Wine has no boundary descriptors).
struct NamespacePlatform {
    HANDLE(WINAPI* createBoundary)(LPCWSTR name, ULONG flags);
    BOOL(WINAPI* addSid)(HANDLE* boundary, PSID sid);
    void(WINAPI* deleteBoundary)(HANDLE boundary);
    HANDLE(WINAPI* create)(LPSECURITY_ATTRIBUTES attributes, LPVOID boundary, LPCWSTR alias);
    HANDLE(WINAPI* open)(LPVOID boundary, LPCWSTR alias);
    BOOLEAN(WINAPI* close)(HANDLE space, ULONG flags);
};
const NamespacePlatform& systemNamespacePlatform();

// The private namespace bounded by the administrators' SID, opened once per
// process at its first use and kept until the module unloads: once the
// handle that made it is closed, no one can open it again (Microsoft's
// documentation), so a handle per lock would fail the locks of later jobs
// that overlap an earlier one.
class CProcessNamespace {
public:
    explicit CProcessNamespace(const NamespacePlatform& platform) : m_platform(platform) {}
    ~CProcessNamespace();
    CProcessNamespace(const CProcessNamespace&) = delete;
    CProcessNamespace& operator=(const CProcessNamespace&) = delete;
    // The namespace (null when it cannot be had now); *missing where the
    // platform has no boundary descriptors.
    HANDLE get(bool* missing);

private:
    const NamespacePlatform& m_platform;
    SRWLOCK m_lock = SRWLOCK_INIT;
    HANDLE m_space = nullptr;
    bool m_missing = false;
};
// The process's own.
CProcessNamespace& processNamespace();

// "<prefix>-<64-bit hash of text, case-insensitive>" into target (64).
void lockName(wchar_t* target, size_t capacity, const wchar_t* prefix, const wchar_t* text);

// Creates (or opens) the mutex. One object may be shared by threads: each
// takes and releases it through a CLockScope of its own. An object of the
// name that someone else made first leaves the lock invalid.
class CNamedLock {
public:
    CNamedLock(const wchar_t* prefix, const wchar_t* text);
    CNamedLock(const CNamedLock&) = delete;
    CNamedLock& operator=(const CNamedLock&) = delete;

    bool valid() const { return static_cast<bool>(m_mutex); }
    // Waits for the mutex (abandoned counts as taken).
    bool lock(DWORD timeoutMs = 30000);
    // Releases a lock taken by the calling thread.
    void unlock();

private:
    unique_handle m_mutex;
};

// Holds the lock for its scope; a lock that cannot be taken is not held.
class CLockScope {
public:
    explicit CLockScope(CNamedLock& lock) : m_lock(lock), m_held(lock.lock()) {}
    ~CLockScope() {
        if (m_held) m_lock.unlock();
    }
    CLockScope(const CLockScope&) = delete;
    CLockScope& operator=(const CLockScope&) = delete;
    bool held() const { return m_held; }

private:
    CNamedLock& m_lock;
    bool m_held;
};

// True while some process holds a trusted mutex of that name open.
bool namedLockExists(const wchar_t* prefix, const wchar_t* text);
