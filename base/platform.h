// What the program runs on.
#pragma once

// True under Wine (its ntdll exports wine_get_version).
bool runningUnderWine();

// Whether the set-up tools may take Wine's shortcuts (its own driver, the
// port FILE:): under Wine, unless RPQ_SETUP_AS_WINDOWS is set, which lets
// tests see the refusals Windows gets.
bool setupAllowsWineDefaults();

// Whether this Windows runs on ARM64 (its spooler cannot load an x64 print
// processor); RPQ_SETUP_AS_ARM64 lets tests see the refusal.
bool nativeMachineIsArm64();
