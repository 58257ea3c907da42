#include "service/watchdog/proxy_cleanup.h"

#include <string>

#include "common/registry_text.h"
#include "service/log/service_log.h"
#include "service/watchdog/proxy_rules.h"

namespace varnelo {

namespace {

constexpr wchar_t kSettingsSubkey[] =
    L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr wchar_t kSettingsChangedArea[] = L"Internet Settings";
constexpr wchar_t kProxyEnable[] = L"ProxyEnable";
constexpr wchar_t kProxyServer[] = L"ProxyServer";
constexpr wchar_t kProxyOverride[] = L"ProxyOverride";
constexpr wchar_t kAutoConfigUrl[] = L"AutoConfigURL";
constexpr char kAutoConfigTag[] = "watchdog_cleanup";
constexpr UINT kBroadcastTimeoutMs = 1000;  // per window; a hung window is skipped at once

// Registry text is read up to this many bytes and used up to its first NUL.
constexpr DWORD kSettingTextBytes = 4096;

LSTATUS ReadSettingText(HKEY key, const wchar_t* name, std::wstring* text) {
  return ReadRegistryText(key, name, kSettingTextBytes, text);
}

DWORD ReadProxyEnable(HKEY key) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (::RegQueryValueExW(key, kProxyEnable, nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS) {
    return 0;
  }
  return value;
}

const char* OpenFailureReason(LSTATUS result) {
  return result == ERROR_FILE_NOT_FOUND ? "user_hive_unavailable" : "regopen_failed";
}

// Deletes AutoConfigURL from the open Internet Settings key when it still points at the local
// core; logs either way with `tag`. An absent or empty value is left without a line.
void ClearStaleAutoConfigUrl(HKEY settings, const char* tag) {
  std::wstring url;
  if (ReadSettingText(settings, kAutoConfigUrl, &url) != ERROR_SUCCESS || url.empty()) return;
  if (IsStaleAutoConfigUrl(url)) {
    const LSTATUS deleted = ::RegDeleteValueW(settings, kAutoConfigUrl);
    ServiceLog("%s: cleared stale AutoConfigURL=[%ls], ret=%ld", tag, url.c_str(),
               static_cast<long>(deleted));
  } else {
    ServiceLog("%s: kept third-party AutoConfigURL=[%ls]", tag, url.c_str());
  }
}

}  // namespace

bool RunProxyCleanup(const WatchdogState& state, const char* trigger) {
  if (state.user_sid.empty()) {
    ServiceLog("cleanup skipped: reason=no_sid");
    return false;
  }
  ServiceLog("cleanup triggered: trigger=%s pid=%lu session=%lu sid=%ls endpoint=%s", trigger,
             state.pid, state.session_id, state.user_sid.c_str(), state.endpoint.c_str());

  const std::wstring path = state.user_sid + kSettingsSubkey;
  UniqueRegKey settings;
  const LSTATUS opened =
      ::RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, settings.put());
  if (opened != ERROR_SUCCESS) {
    ServiceLog("cleanup skipped: reason=%s lReg=%ld", OpenFailureReason(opened),
               static_cast<long>(opened));
    return false;
  }

  const DWORD enable = ReadProxyEnable(settings.get());
  std::wstring server;
  const LSTATUS server_read = ReadSettingText(settings.get(), kProxyServer, &server);
  if (enable != 1 || server_read != ERROR_SUCCESS) {
    ServiceLog("cleanup skipped: reason=proxy_already_clean enable=%lu queryRet=%ld", enable,
               static_cast<long>(server_read));
    return false;
  }
  // Exact text only: whatever differs was set by someone else and is theirs.
  if (server != state.expected_proxy_server) {
    ServiceLog("cleanup skipped: reason=proxy_mismatch expected=[%ls] actual=[%ls]",
               state.expected_proxy_server.c_str(), server.c_str());
    return false;
  }

  const DWORD disabled = 0;
  const LSTATUS enable_set =
      ::RegSetValueExW(settings.get(), kProxyEnable, 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&disabled), sizeof(disabled));
  const LSTATUS server_deleted = ::RegDeleteValueW(settings.get(), kProxyServer);
  const LSTATUS override_deleted = ::RegDeleteValueW(settings.get(), kProxyOverride);
  ClearStaleAutoConfigUrl(settings.get(), kAutoConfigTag);
  settings.reset();
  ServiceLog(
      "cleanup OK: trigger=%s pre_ProxyServer=[%ls] ProxyEnable set ret=%ld, ProxyServer delete "
      "ret=%ld, "
      "ProxyOverride delete ret=%ld",
      trigger, server.c_str(), static_cast<long>(enable_set), static_cast<long>(server_deleted),
      static_cast<long>(override_deleted));
  return true;
}

void BroadcastProxySettingsChange() {
  // Not SendNotifyMessageW: the asynchronous senders refuse a system message that carries a
  // pointer (ERROR_MESSAGE_SYNC_ONLY), so that broadcast would never leave.
  ::SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                        reinterpret_cast<LPARAM>(kSettingsChangedArea), SMTO_ABORTIFHUNG,
                        kBroadcastTimeoutMs, nullptr);
}

}  // namespace varnelo
