#pragma once
namespace varnelo {
// -uninstall: stops and deletes the service registration. Returns the process exit code.
int UninstallService();
}  // namespace varnelo
