#include "printproc/playback/spoolapi.h"
#include "emfspool/spoolfile.h"

namespace {
template <typename F>
bool lookUp(HMODULE gdi, const char* name, F* target) {
    *target = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(gdi, name)));
    return *target != nullptr;
}

bool systemApi(SpoolFileApi* api) {
    HMODULE gdi = GetModuleHandleW(L"gdi32.dll");
    return gdi && lookUp(gdi, "GdiGetSpoolFileHandle", &api->getSpoolFileHandle) &&
           lookUp(gdi, "GdiDeleteSpoolFileHandle", &api->deleteSpoolFileHandle) &&
           lookUp(gdi, "GdiGetDC", &api->getDC) && lookUp(gdi, "GdiGetPageCount", &api->getPageCount) &&
           lookUp(gdi, "GdiGetPageHandle", &api->getPageHandle) &&
           lookUp(gdi, "GdiGetDevmodeForPage", &api->getDevmodeForPage) &&
           lookUp(gdi, "GdiStartDocEMF", &api->startDocEMF) && lookUp(gdi, "GdiStartPageEMF", &api->startPageEMF) &&
           lookUp(gdi, "GdiPlayPageEMF", &api->playPageEMF) && lookUp(gdi, "GdiEndPageEMF", &api->endPageEMF) &&
           lookUp(gdi, "GdiResetDCEMF", &api->resetDCEMF) && lookUp(gdi, "GdiEndDocEMF", &api->endDocEMF);
}

SpoolFileApi standIn() {
    return {emfspool::getSpoolFileHandle, emfspool::deleteSpoolFileHandle, emfspool::getDC,
            emfspool::getPageCount,       emfspool::getPageHandle,         emfspool::getDevmodeForPage,
            emfspool::startDocEMF,        emfspool::startPageEMF,          emfspool::playPageEMF,
            emfspool::endPageEMF,         emfspool::resetDCEMF,            emfspool::endDocEMF};
}

struct ResolvedApi {
    SpoolFileApi api = {};
    bool standIn = false;
    ResolvedApi() {
        if (!systemApi(&api)) {
            api = ::standIn();
            standIn = true;
        }
    }
};

// Resolved at load (gdi32 is loaded before us); never changed afterwards.
const ResolvedApi g_resolved;
const ResolvedApi& resolved() { return g_resolved; }
}  // namespace

const SpoolFileApi& spoolFileApi() { return resolved().api; }
bool usingSpoolStandIn() { return resolved().standIn; }
