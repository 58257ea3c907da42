// WatchdogState: the one client the proxy watchdog watches.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

namespace varnelo {

// Armed while `process` is set; every field is set and cleared together.
struct WatchdogState {
  UniqueHandle process;
  DWORD pid = 0;
  DWORD session_id = 0;   // only logged
  std::wstring user_sid;  // selects the hive under HKEY_USERS
  std::string endpoint;   // the request's proxy value, only logged
  std::wstring expected_proxy_server;
};

}  // namespace varnelo
