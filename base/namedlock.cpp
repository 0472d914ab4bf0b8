#include "base/namedlock.h"
#include <sddl.h>
#include <cwchar>
#include <cwctype>
#include <strsafe.h>
#include "base/trust.h"

namespace {
constexpr wchar_t kNamespace[] = L"RPQ";
// A namespace that cannot be had at once (another process is creating or
// closing it) is tried again a few times before the lock is refused.
constexpr int kNamespaceAttempts = 4;
constexpr DWORD kNamespaceRetryMs = 25;
// Objects and the namespace: the system and administrators only.
constexpr wchar_t kObjectSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

struct CObjectSecurity {
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    unique_hlocal descriptor;
    CObjectSecurity() {
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kObjectSddl, SDDL_REVISION_1, &sd, nullptr)) {
            descriptor.reset(sd);
            attributes.lpSecurityDescriptor = sd;
        }
    }
};

// The namespace bounded by the administrators' SID: the spooler (the system
// account holds that group) and administrators' tools share it, and no one
// else can create it first. Null with *missing where the platform has no
// boundary descriptors (Wine); null alone when it could not be had.
HANDLE openNamespace(const NamespacePlatform& platform, CObjectSecurity& security, bool* missing) {
    *missing = false;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) return nullptr;
    for (int attempt = 0; attempt < kNamespaceAttempts; ++attempt) {
        if (attempt > 0) Sleep(kNamespaceRetryMs);
        HANDLE boundary = platform.createBoundary(kNamespace, 0);
        if (!boundary) {
            *missing = true;
            return nullptr;
        }
        HANDLE space = nullptr;
        if (platform.addSid(&boundary, administrators)) {
            space = platform.create(&security.attributes, boundary, kNamespace);
            if (!space) space = platform.open(boundary, kNamespace);
        }
        DWORD error = GetLastError();
        platform.deleteBoundary(boundary);
        SetLastError(error);
        if (space) return space;
    }
    return nullptr;
}

const NamespacePlatform kSystemNamespaces = {CreateBoundaryDescriptorW, AddSIDToBoundaryDescriptor,
                                             DeleteBoundaryDescriptor,  CreatePrivateNamespaceW,
                                             OpenPrivateNamespaceW,     ClosePrivateNamespace};

// The object's full name: in the namespace, or under "Local\".
void objectName(wchar_t* target, size_t capacity, bool inNamespace, const wchar_t* prefix, const wchar_t* text) {
    wchar_t name[64];
    lockName(name, 64, prefix, text);
    StringCchPrintfW(target, capacity, L"%s\\%s", inNamespace ? kNamespace : L"Local", name);
}
}  // namespace

const NamespacePlatform& systemNamespacePlatform() { return kSystemNamespaces; }

CProcessNamespace::~CProcessNamespace() {
    if (m_space) m_platform.close(m_space, 0);
}

HANDLE CProcessNamespace::get(bool* missing) {
    AcquireSRWLockExclusive(&m_lock);
    if (!m_space && !m_missing) {
        CObjectSecurity security;
        if (security.attributes.lpSecurityDescriptor) m_space = openNamespace(m_platform, security, &m_missing);
    }
    HANDLE space = m_space;
    *missing = m_missing;
    ReleaseSRWLockExclusive(&m_lock);
    return space;
}

namespace {
// Made when the module loads, closed when it unloads. (Not a function's
// static: its guard would cost synchronisation objects that stay behind at
// every unload.)
CProcessNamespace g_processNamespace(kSystemNamespaces);
}  // namespace

CProcessNamespace& processNamespace() { return g_processNamespace; }

void lockName(wchar_t* target, size_t capacity, const wchar_t* prefix, const wchar_t* text) {
    unsigned long long hash = 1469598103934665603ULL;  // FNV-1a
    for (const wchar_t* p = text; p && *p; ++p) {
        hash ^= static_cast<unsigned long long>(towlower(*p));
        hash *= 1099511628211ULL;
    }
    StringCchPrintfW(target, capacity, L"%s-%016I64x", prefix, hash);
}

CNamedLock::CNamedLock(const wchar_t* prefix, const wchar_t* text) {
    CObjectSecurity security;
    if (!security.attributes.lpSecurityDescriptor) return;  // never an object open to anyone
    bool missing = false;
    HANDLE space = processNamespace().get(&missing);
    if (!space && !missing) return;  // never split into a second namespace
    wchar_t name[80];
    objectName(name, 80, space != nullptr, prefix, text);
    m_mutex.reset(CreateMutexW(&security.attributes, FALSE, name));
    if (m_mutex && GetLastError() == ERROR_ALREADY_EXISTS && !hasTrustedOwner(m_mutex.get(), SE_KERNEL_OBJECT)) {
        m_mutex.reset();  // made first by someone else: not ours to wait on
        SetLastError(ERROR_ACCESS_DENIED);
    }
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
    bool missing = false;
    HANDLE space = processNamespace().get(&missing);
    if (!space && !missing) return false;
    wchar_t name[80];
    objectName(name, 80, space != nullptr, prefix, text);
    unique_handle mutex(OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, name));
    return mutex && hasTrustedOwner(mutex.get(), SE_KERNEL_OBJECT);
}
