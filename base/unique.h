// Owning wrappers for Win32 handles: one template, one alias per kind.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <winspool.h>
#include <cstdint>
#include <type_traits>
#include <utility>

// Invalid is the raw value that means "nothing held" (0, or -1 for file and
// find handles).
template <typename T, auto Close, intptr_t InvalidRaw = 0>
class CUniqueAny {
    static T invalidValue() {
        if constexpr (std::is_pointer_v<T>) return reinterpret_cast<T>(InvalidRaw);
        else return static_cast<T>(InvalidRaw);
    }
    static inline const T Invalid = invalidValue();

public:
    CUniqueAny() = default;
    explicit CUniqueAny(T value) : m_value(value) {}
    ~CUniqueAny() { reset(); }
    CUniqueAny(const CUniqueAny&) = delete;
    CUniqueAny& operator=(const CUniqueAny&) = delete;
    CUniqueAny(CUniqueAny&& other) noexcept : m_value(other.release()) {}
    CUniqueAny& operator=(CUniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    T get() const { return m_value; }
    T* put() { reset(); return &m_value; }
    T release() { T v = m_value; m_value = Invalid; return v; }
    // Closes the held value; true when there was none or it closed cleanly.
    bool reset(T value = Invalid) {
        bool ok = true;
        if (m_value != Invalid) ok = closeValue(m_value);
        m_value = value;
        return ok;
    }
    explicit operator bool() const { return m_value != Invalid; }

private:
    static bool closeValue(T v) {
        if constexpr (std::is_same_v<decltype(Close(v)), void>) { Close(v); return true; }
        else return Close(v) ? true : false;
    }
    T m_value = invalidValue();
};

namespace rpq_close {
inline BOOL handle(HANDLE h) { return CloseHandle(h); }
inline BOOL key(HKEY k) { return RegCloseKey(k) == ERROR_SUCCESS; }
inline BOOL find(HANDLE h) { return FindClose(h); }
inline void local(HLOCAL p) { LocalFree(p); }
inline BOOL printer(HANDLE h) { return ClosePrinter(h); }
inline BOOL dc(HDC h) { return DeleteDC(h); }
inline BOOL module(HMODULE h) { return FreeLibrary(h); }
inline BOOL inet(HINTERNET h) { return InternetCloseHandle(h); }
inline BOOL emf(HENHMETAFILE h) { return DeleteEnhMetaFile(h); }
inline BOOL gdiObject(HGDIOBJ h) { return DeleteObject(h); }
inline BOOL privateNamespace(HANDLE h) { return ClosePrivateNamespace(h, 0); }
}  // namespace rpq_close

using unique_handle = CUniqueAny<HANDLE, rpq_close::handle>;
using unique_hfile = CUniqueAny<HANDLE, rpq_close::handle, -1>;
using unique_hkey = CUniqueAny<HKEY, rpq_close::key>;
using unique_hfind = CUniqueAny<HANDLE, rpq_close::find, -1>;
using unique_hlocal = CUniqueAny<HLOCAL, rpq_close::local>;
using unique_printer = CUniqueAny<HANDLE, rpq_close::printer>;
using unique_hdc = CUniqueAny<HDC, rpq_close::dc>;
using unique_hmodule = CUniqueAny<HMODULE, rpq_close::module>;
using unique_hinternet = CUniqueAny<HINTERNET, rpq_close::inet>;
using unique_hemf = CUniqueAny<HENHMETAFILE, rpq_close::emf>;
using unique_hfont = CUniqueAny<HFONT, rpq_close::gdiObject>;
using unique_namespace = CUniqueAny<HANDLE, rpq_close::privateNamespace>;
