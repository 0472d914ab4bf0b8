// Windows Sockets' address types, from the native headers.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
