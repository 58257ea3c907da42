// -install: registers the service, or refreshes an existing registration to this executable and
// restarts it after asking a running client to close.
#pragma once

#include <windows.h>

namespace varnelo {

// Returns the process exit code of -install.
int InstallService();

// Asks the first running Varnelo.exe main window to close and waits a bounded time for its process.
void RequestVarneloExitBeforeUpgrade();

// The restart-on-failure actions exactly as ConfigureServiceMetadata hands them to the control
// manager (which under Wine keeps nothing that can be read back).
class ServiceFailureActions {
 public:
  ServiceFailureActions();
  ServiceFailureActions(const ServiceFailureActions&) = delete;
  ServiceFailureActions& operator=(const ServiceFailureActions&) = delete;
  const SERVICE_FAILURE_ACTIONSW& get() const { return config_; }

 private:
  SC_ACTION actions_[3] = {};
  SERVICE_FAILURE_ACTIONSW config_ = {};
};

// Sets the description and the restart-on-failure actions; failures are only logged.
void ConfigureServiceMetadata(SC_HANDLE service);

// Stops the service unless it is stopped or stopping, then starts it; true when it ends up running.
bool RestartExistingServiceAfterUpgrade(SC_HANDLE service);

}  // namespace varnelo
