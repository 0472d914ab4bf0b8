#include "notifier/instance.h"
#include <cwctype>
#include <memory>

std::wstring instanceMutexName() {
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring file(path, n);
    size_t slash = file.find_last_of(L"\\/");
    std::wstring name = file.substr(slash == std::wstring::npos ? 0 : slash + 1);
    name = name.substr(0, name.find(L'.'));
    for (wchar_t& c : name) c = static_cast<wchar_t>(towupper(c));
    unsigned major = 0;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size > 0) {
        std::unique_ptr<BYTE[]> block(new BYTE[size]);
        VS_FIXEDFILEINFO* info = nullptr;
        UINT infoSize = 0;
        if (GetFileVersionInfoW(path, 0, size, block.get()) &&
            VerQueryValueW(block.get(), L"\\", reinterpret_cast<void**>(&info), &infoSize) && info)
            major = HIWORD(info->dwFileVersionMS);
    }
    return L"PREVINST:" + name + std::to_wstring(major);
}
