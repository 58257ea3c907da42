// uninstall.exe: relaunches from its own folder in the system's temporary folder, keeps one window
// across copies, runs the main window.
#include <windows.h>

#include <objbase.h>

#include <memory>
#include <string>

#include "toolkit/gdiplus_runtime.h"
#include "uninstaller/main_wnd.h"
#include "uninstaller/startup.h"
#include "uninstaller/temp_copy.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR arguments, int) {
  varnelo::RestrictDllSearch();
  if (FAILED(::CoInitialize(nullptr))) return 0;
  if (!varnelo::LoadSkinArchive(instance)) return 0;

  varnelo::TemporaryCopy self;  // held until the process ends
  std::wstring error;
  switch (varnelo::RelocateToTemp(arguments, &self, &error)) {
    case varnelo::Relocation::kRunsHere:
      break;
    case varnelo::Relocation::kStartedCopy:
      return 0;
    case varnelo::Relocation::kFailed:
      ::MessageBoxW(nullptr, error.c_str(), varnelo::kMainWindowTitle, MB_OK);
      return 0;
  }
  varnelo::UniqueHandle single_instance;  // held until the process ends
  if (varnelo::BringExistingInstanceForward(&single_instance)) {
    varnelo::StartSelfDeletion(self);  // this copy's folder is its own, unused by the window found
    return 0;
  }

  std::unique_ptr<varnelo::CMainWnd> window(new varnelo::CMainWnd(self));
  window->Create(nullptr, varnelo::kMainWindowTitle, WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                 0, 0, 0, 0, 0);
  window->CenterWindow();
  window->ShowModal();
  ::CoUninitialize();
  const bool delete_self = window->DeletesSelfAtExit();
  window.reset();  // waits for (or ends) the worker
  if (delete_self) varnelo::StartSelfDeletion(self);
  Skin::ShutdownGdiplus();
  return 0;
}
