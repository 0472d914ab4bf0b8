// Command lines built from arguments that must arrive as they are.
#pragma once
#include <string>

// Appends one argument, quoted so that CommandLineToArgvW (and the C
// runtime) gives it back unchanged: quotes, spaces and trailing backslashes
// included. A space separates it from what came before.
void appendArgument(std::wstring& line, const std::wstring& argument);
