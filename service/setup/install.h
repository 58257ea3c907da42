// -install: registers the service, or refreshes an existing registration to this executable and
// restarts it after asking a running client to close.
#pragma once

#include <windows.h>

namespace varnelo {

// Returns the process exit code of -install.
int InstallService();

// Asks the first running Varnelo.exe main window to close and waits a bounded time for its process.
void RequestVarneloExitBeforeUpgrade();

// Stops the service unless it is stopped or stopping, then starts it; true when it ends up running.
bool RestartExistingServiceAfterUpgrade(SC_HANDLE service);

}  // namespace varnelo
