#include "base/namedlock.h"
#include <sddl.h>
#include <cwchar>
#include <cwctype>
#include <strsafe.h>
#include "base/trust.h"

namespace {
constexpr wchar_t kNamespace[] = L"RPQ";
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

// The namespace bounded by the system account's SID: only a process running
// as the system can create it, so no one can take its names first. Null
// where the platform offers none.
HANDLE openNamespace(CObjectSecurity& security) {
    HANDLE boundary = CreateBoundaryDescriptorW(kNamespace, 0);
    if (!boundary) return nullptr;
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system);
    HANDLE space = nullptr;
    if (CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) && AddSIDToBoundaryDescriptor(&boundary, system)) {
        space = CreatePrivateNamespaceW(&security.attributes, boundary, kNamespace);
        if (!space) space = OpenPrivateNamespaceW(boundary, kNamespace);
    }
    DeleteBoundaryDescriptor(boundary);
    return space;
}

// The object's full name: in the namespace, or under "Local\".
void objectName(wchar_t* target, size_t capacity, bool inNamespace, const wchar_t* prefix, const wchar_t* text) {
    wchar_t name[64];
    lockName(name, 64, prefix, text);
    StringCchPrintfW(target, capacity, L"%s\\%s", inNamespace ? kNamespace : L"Local", name);
}
}  // namespace

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
    m_namespace.reset(openNamespace(security));
    wchar_t name[80];
    objectName(name, 80, static_cast<bool>(m_namespace), prefix, text);
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
    CObjectSecurity security;
    unique_namespace space(openNamespace(security));
    wchar_t name[80];
    objectName(name, 80, static_cast<bool>(space), prefix, text);
    unique_handle mutex(OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, name));
    return mutex && hasTrustedOwner(mutex.get(), SE_KERNEL_OBJECT);
}
