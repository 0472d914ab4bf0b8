#pragma once
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

// The job's n-up, order, copies and layout attributes from the printer's
// driver, or defaults from the devmode when the driver cannot tell.
bool queryJobAttributes(LPWSTR printerName, const DEVMODEW* devMode, ATTRIBUTE_INFO_4* info);
