// VarneloService.exe: picks the mode from the first argument.
#include <windows.h>

#include <cwchar>

#include "service/service_host.h"
#include "service/setup/install.h"
#include "service/setup/uninstall_service.h"

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2) {
    if (_wcsicmp(argv[1], L"-install") == 0) return varnelo::InstallService();
    if (_wcsicmp(argv[1], L"-uninstall") == 0) return varnelo::UninstallService();
    if (_wcsicmp(argv[1], L"-run") == 0) return varnelo::RunConsoleMode();
  }
  return varnelo::RunServiceDispatcher();
}
