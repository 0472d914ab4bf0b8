// rpqbench post HOST PORT FILE
// The upload floor for the benchmark: one multipart/form-data POST of FILE to
// /FDXS_Transfer through WinINet in 1 MiB writes, as RPQ sends a chunk,
// with the file already in memory. Prints the seconds the POST took.
#include <windows.h>
#include <wininet.h>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include "base/unique.h"
#include "tools/toolerror.h"

namespace {
bool readWhole(const wchar_t* path, std::string* bytes) {
    unique_hfile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size)) return false;
    bytes->resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes->size()) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes->size() - done, 1u << 24));
        if (!ReadFile(file.get(), &(*bytes)[done], want, &got, nullptr) || got == 0) return false;
        done += got;
    }
    return true;
}

int post(const wchar_t* host, INTERNET_PORT port, const wchar_t* path) {
    std::string data;
    if (!readWhole(path, &data)) return failWith(L"Reading the file", GetLastError());
    const std::string boundary = "rpqbenchboundary0000";
    std::string head = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"message\"; filename=\"message.dat\"\r\n"
                       "Content-Type: application/octet-stream\r\n\r\n\x04\x01\x00\x00\x00\x00\r\n--" + boundary +
                       "\r\nContent-Disposition: form-data; name=\"chunk\"; filename=\"bench.001\"\r\n"
                       "Content-Type: application/octet-stream\r\n\r\n";
    std::string tail = "\r\n--" + boundary + "--\r\n";
    std::string body = head + data + tail;

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    unique_hinternet session(InternetOpenW(L"RpqBench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    unique_hinternet connection(
        session ? InternetConnectW(session.get(), host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0) : nullptr);
    unique_hinternet request(connection ? HttpOpenRequestW(connection.get(), L"POST", L"FDXS_Transfer", nullptr,
                                                           nullptr, nullptr, INTERNET_FLAG_NO_CACHE_WRITE, 0)
                                        : nullptr);
    if (!request) return failWith(L"Opening the request", GetLastError());
    std::wstring header = L"Content-Type: multipart/form-data; boundary=rpqbenchboundary0000\r\n";
    HttpAddRequestHeadersW(request.get(), header.c_str(), static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD);
    INTERNET_BUFFERSW buffers = {};
    buffers.dwStructSize = sizeof(buffers);
    buffers.dwBufferTotal = static_cast<DWORD>(body.size());
    if (!HttpSendRequestExW(request.get(), &buffers, nullptr, 0, 0)) return failWith(L"HttpSendRequestEx", GetLastError());
    for (size_t sent = 0; sent < body.size();) {
        DWORD written = 0;
        DWORD round = static_cast<DWORD>(std::min<size_t>(1 << 20, body.size() - sent));
        if (!InternetWriteFile(request.get(), body.data() + sent, round, &written) || written == 0)
            return failWith(L"InternetWriteFile", GetLastError());
        sent += written;
    }
    if (!HttpEndRequestW(request.get(), nullptr, 0, 0)) return failWith(L"HttpEndRequest", GetLastError());
    char answer[1024];
    DWORD got = 0;
    while (InternetReadFile(request.get(), answer, sizeof(answer), &got) && got > 0) {
    }
    QueryPerformanceCounter(&end);
    wprintf(L"%.3f\n", static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
    return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 5 && wcscmp(argv[1], L"post") == 0)
        return post(argv[2], static_cast<INTERNET_PORT>(_wtoi(argv[3])), argv[4]);
    fwprintf(stderr, L"usage: rpqbench post HOST PORT FILE\n");
    return 2;
}
