// The IPP side: a PAPPL system with one IPP Everywhere printer per target,
// whose jobs go to the workflow server.
#pragma once
#include "gateway/options.h"

// Runs until SIGTERM or SIGINT; the exit code.
int serveGateway(const GatewayOptions& options);
