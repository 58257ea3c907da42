#include "uninstaller/startup.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "common/platform.h"
#include "toolkit/skin_resources.h"
#include "uninstaller/install_location_rules.h"
#include "uninstaller/main_wnd.h"
#include "uninstaller/system_command.h"
#include "uninstaller/temp_copy.h"

namespace varnelo {

namespace {

constexpr WORD kSkinResourceId = 102;
constexpr wchar_t kSkinResourceType[] = L"ZIPRES";
constexpr char kSkinPassword[] = "HbTqwKeZ";
constexpr size_t kCommandLineChars = 1024;
constexpr wchar_t kRelaunchFormat[] = L"/C timeout /t 1 && start \"\" \"%ls\"";
constexpr wchar_t kCopyErrorFormat[] = L"uninstall.exe copy error,err=%u";
constexpr wchar_t kSingleInstanceName[] = L"Global\\_ONCE_RUN_windows_project_20230101_UNINSTALL";

}  // namespace

void RestrictDllSearch() {
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  ::SetDllDirectoryW(L"");  // also drops the current folder from the legacy search order
}

bool LoadSkinArchive(HINSTANCE instance) {
  Skin::SetResourceInstance(instance);
  HRSRC resource = ::FindResourceW(instance, MAKEINTRESOURCEW(kSkinResourceId), kSkinResourceType);
  if (!resource) return false;
  HGLOBAL loaded = ::LoadResource(instance, resource);
  const DWORD size = ::SizeofResource(instance, resource);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes || size == 0) return false;
  // The toolkit reads from this buffer for the rest of the process.
  void* copy = ::HeapAlloc(::GetProcessHeap(), 0, size);
  if (!copy) return false;
  std::memcpy(copy, bytes, size);
  return Skin::SetResourceZip(copy, size, kSkinPassword);
}

bool RelocateToTemp(wchar_t* error, size_t capacity) {
  const std::wstring self = GetOwnModulePath();
  if (RunsFromCopyFolder(self, SystemTempFolder())) return true;
  TemporaryCopy copy;
  const DWORD failure = MakeTemporaryCopy(self, &copy);
  if (failure != ERROR_SUCCESS) {
    std::swprintf(error, capacity, kCopyErrorFormat, static_cast<unsigned>(failure));
    return false;
  }
  // The command holds the copy and its folder as written until `start` has started the copy.
  wchar_t arguments[kCommandLineChars];
  if (std::swprintf(arguments, kCommandLineChars, kRelaunchFormat, copy.path.c_str()) <= 0 ||
      !StartHiddenCommand(arguments, {copy.folder.get(), copy.file.get()})) {
    DiscardTemporaryCopy(&copy);
  }
  ::ExitProcess(0);
}

bool BringExistingInstanceForward(UniqueHandle* semaphore) {
  SECURITY_DESCRIPTOR sd;
  if (!::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE)) {
    return false;  // no check without a descriptor; show the window
  }
  SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, TRUE};
  semaphore->reset(::CreateSemaphoreW(&sa, 1, 1, kSingleInstanceName));
  if (::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  HWND existing = ::FindWindowW(kMainWindowClass, kMainWindowTitle);
  if (!existing) return false;
  ::ShowWindow(existing, SW_RESTORE);
  ::SetWindowPos(existing, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  ::SetWindowPos(existing, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  return true;
}

}  // namespace varnelo
