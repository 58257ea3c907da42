#pragma once
namespace varnelo {
// -install: registers (or refreshes) and starts the service. Returns the process exit code.
int InstallService();
}  // namespace varnelo
