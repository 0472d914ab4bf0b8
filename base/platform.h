// What the program runs on.
#pragma once

// True under Wine (its ntdll exports wine_get_version).
bool runningUnderWine();
