// rpqgate's own readers of outside text: journal records left on disk,
// transfer addresses and printer arguments, UTF-8 from IPP clients.
#include <cstddef>
#include <cstdint>
#include <string>
#include "gateway/journal.h"
#include "gateway/options.h"
#include "gateway/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    GatewayJob job;
    if (parseRecord(text, job)) {
        GatewayJob again;
        if (!parseRecord(recordText(job), again) || again.documentName != job.documentName || again.user != job.user)
            __builtin_trap();  // a record read back must read the same
    }
    PrinterTarget target;
    std::string why;
    parsePrinterArgument(text, target, &why);
    std::u16string wide = fromUtf8(text);
    if (fromUtf8(toUtf8(wide)) != wide) __builtin_trap();
    hostField(text);
    std::string plain;
    unescapeLine(text, &plain);
    return 0;
}
