// Jobs that our own playback starts pass through to the port unchanged.
#include <vector>
#include "base/threadslot.h"
#include "base/unique.h"
#include "printproc/playback/playback.h"

namespace {
const CThreadSlot t_playbackDepth;  // playbacks running on this thread

intptr_t depth() { return reinterpret_cast<intptr_t>(t_playbackDepth.get()); }
constexpr DWORD kCopyBlock = 1 << 16;
}  // namespace

CPlaybackMark::CPlaybackMark() { t_playbackDepth.set(reinterpret_cast<void*>(depth() + 1)); }
CPlaybackMark::~CPlaybackMark() { t_playbackDepth.set(reinterpret_cast<void*>(depth() - 1)); }
bool insidePlayback() { return depth() > 0; }

bool passJobThrough(JobContext* ctx, LPWSTR jobName) {
    unique_printer job;
    if (!OpenPrinterW(jobName, job.put(), nullptr)) return false;
    DOC_INFO_1W doc = {ctx->documentName, ctx->outputFile, const_cast<LPWSTR>(L"RAW")};
    if (!StartDocPrinterW(ctx->printerHandle, 1, reinterpret_cast<BYTE*>(&doc))) return false;
    std::vector<BYTE> block(kCopyBlock);
    bool ok = true;
    for (DWORD got = 0;;) {
        waitWhilePaused(ctx);
        if (isAborted(ctx)) break;
        if (!ReadPrinter(job.get(), block.data(), kCopyBlock, &got)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        DWORD written = 0;
        for (DWORD done = 0; done < got; done += written)
            if (!WritePrinter(ctx->printerHandle, block.data() + done, got - done, &written) || written == 0) {
                ok = false;
                break;
            }
        if (!ok) break;
    }
    DWORD error = GetLastError();
    bool ended = EndDocPrinter(ctx->printerHandle) != FALSE;
    if (!ok) SetLastError(error);
    return ok && ended;
}
