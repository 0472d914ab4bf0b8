// A TEXT job's bytes (any user's) laid out on a page: whatever comes, each
// piece of text lies inside its line and on the page.
#include <string>
#include "printproc/playback/textlayout.h"

namespace {
int g_perLine = 1, g_perPage = 1;
constexpr int kCell = 10;
}  // namespace

bool fuzzTextOut(int x, int y, const char* text, int count) {
    if (x < 0 || y < 0 || x % kCell || y % kCell || count <= 0) __builtin_trap();
    if (x / kCell + count > g_perLine || y / kCell >= g_perPage) __builtin_trap();  // outside its line or the page
    (void)text;
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    g_perLine = 1 + data[0] % 120;
    g_perPage = 1 + data[1] % 70;
    DWORD tabs = data[2] % 20;  // 0: the default
    size_t split = size > 4 ? 4 + data[3] % (size - 4) : 4;  // where one read ends and the next begins
    CTextPrinter printer(nullptr, kCell, kCell, g_perLine, g_perPage, tabs);
    printer.setTranslation(data[3] & 1, data[3] & 2);
    printer.startCopy();
    const char* text = reinterpret_cast<const char*>(data);
    printer.print(text + 4, split - 4);
    printer.print(text + split, size - split);
    printer.finishCopy();
    return 0;
}
