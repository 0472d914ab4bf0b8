#include "base/module.h"
#include <atomic>

namespace {
std::atomic<HMODULE> g_module{nullptr};
}

HMODULE rpqModule() { return g_module.load(); }
void setRpqModule(HMODULE module) { g_module.store(module); }
