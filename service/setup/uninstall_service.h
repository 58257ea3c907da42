// -uninstall: stops the service, deletes its registration and waits until the service control
// manager has purged it.
#pragma once
namespace varnelo {
// Returns the process exit code of -uninstall.
int UninstallService();
}  // namespace varnelo
