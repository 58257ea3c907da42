#include "uninstaller/startup.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "common/platform.h"
#include "toolkit/skin_resources.h"
#include "uninstaller/main_wnd.h"

namespace varnelo {

namespace {

constexpr WORD kSkinResourceId = 102;
constexpr wchar_t kSkinResourceType[] = L"ZIPRES";
constexpr char kSkinPassword[] = "HbTqwKeZ";
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

Relocation RelocateToTemp(const wchar_t* arguments, TemporaryCopy* self, std::wstring* error) {
  DWORD failure = ERROR_SUCCESS;
  switch (ProveRelaunchedCopy(arguments, self, &failure)) {
    case Relaunch::kProven:
      return Relocation::kRunsHere;
    case Relaunch::kUnproven:
      break;
    case Relaunch::kNone: {
      TemporaryCopy copy;
      failure = MakeTemporaryCopy(GetOwnModulePath(), &copy);
      // The copy inherits the held copy and folder, so nothing can change either before it runs.
      if (failure == ERROR_SUCCESS) failure = StartRelaunchedCopy(&copy);
      break;
    }
  }
  if (failure == ERROR_SUCCESS) return Relocation::kStartedCopy;
  wchar_t text[64] = {};
  std::swprintf(text, sizeof(text) / sizeof(text[0]), kCopyErrorFormat,
                static_cast<unsigned>(failure));
  *error = text;
  return Relocation::kFailed;
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
