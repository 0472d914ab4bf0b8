#include "diag/levels.h"
#include "base/levelnames.h"

static_assert(kLevelCount == kLevelNameCount, "one table of level names");

const char* levelName(int level) {
    const char* name = levelNameAt(level);
    return name ? name : "?";
}
