#include "uninstaller/temp_copy.h"

#include <ntsecapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/platform.h"
#include "common/process_list.h"
#include "uninstaller/install_location_rules.h"
#include "uninstaller/relaunch_rules.h"
#include "uninstaller/system_command.h"
#include "uninstaller/uninstaller_hooks.h"

namespace varnelo {

namespace {

constexpr wchar_t kTempSubfolder[] = L"\\Temp";
constexpr wchar_t kCopyName[] = L"uninstall.exe";
constexpr wchar_t kCopyFolderDacl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t kAdministratorsOwner[] = L"O:BA";
// The copy read back through the held handle is not what was written.
constexpr DWORD kCopyAlteredError = ERROR_FILE_INVALID;
// The copy waits this long at most for the program that started it to end.
constexpr DWORD kParentExitWaitMs = 10000;
// Shown in the copy error when a copy was named a relaunch that it cannot prove.
constexpr DWORD kUnprovenRelaunchError = ERROR_INVALID_HANDLE;

// The thread's last error, or `fallback` when a call failed without setting one (a short read).
DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = ::GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

SECURITY_ATTRIBUTES Inheritable(PSECURITY_DESCRIPTOR descriptor = nullptr) {
  return {sizeof(SECURITY_ATTRIBUTES), descriptor, TRUE};
}

bool ReadAll(HANDLE file, std::string* bytes) {
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file, &size) || size.QuadPart > MAXDWORD) return false;
  bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  return bytes->empty() ||
         (::ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &read, nullptr) &&
          read == bytes->size());
}

// Writes `bytes` into a file that did not exist, shared with nobody while it is written, then
// holds it read-only without write or delete sharing. Between the writer's close and that open
// another writer could slip in where the folder's DACL is not enforced, so the held file is read
// back: it is what the relaunch will run.
DWORD WriteHeldCopy(const std::string& bytes, const std::wstring& path, UniqueHandle* held) {
  {
    const UniqueHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!writer) return ::GetLastError();
    if (!::WriteFile(writer.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr)) {
      return ::GetLastError();
    }
    if (written != bytes.size()) return ERROR_WRITE_FAULT;
  }
  AfterCopyWritten(path);
  SECURITY_ATTRIBUTES inherit = Inheritable();
  held->reset(::CreateFileW(path.c_str(), kHeldCopyAccess, FILE_SHARE_READ, &inherit, OPEN_EXISTING,
                            0, nullptr));
  if (!*held) return ::GetLastError();
  std::string check;
  if (!ReadAll(held->get(), &check)) return LastErrorOr(ERROR_READ_FAULT);
  return check == bytes ? ERROR_SUCCESS : kCopyAlteredError;
}

void DiscardTemporaryCopy(TemporaryCopy* copy) {
  copy->file.reset();
  ::DeleteFileW(copy->path.c_str());
  copy->folder.reset();
  ::RemoveDirectoryW(copy->folder_path.c_str());
}

std::uint64_t HandleValue(HANDLE handle) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

HANDLE HandleFromValue(std::uint64_t value) {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

// The pid of the process that created this one, 0 when unknown.
DWORD ParentPid() {
  std::vector<ProcessEntry> processes;
  ListProcesses(&processes);
  for (const ProcessEntry& entry : processes) {
    if (entry.pid == ::GetCurrentProcessId()) return entry.parent_pid;
  }
  return 0;
}

// Whether `handle` is an open file or folder (as `directory` says) that is the same object as
// the one `path` names now. Reads attributes only; takes no part in sharing.
bool IsHandleOf(HANDLE handle, const std::wstring& path, bool directory) {
  BY_HANDLE_FILE_INFORMATION held = {}, named = {};
  if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &held)) {
    return false;
  }
  const UniqueHandle opened(::CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!opened || !::GetFileInformationByHandle(opened.get(), &named)) return false;
  const bool is_directory = (held.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return is_directory == directory && held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
         held.nFileIndexHigh == named.nFileIndexHigh && held.nFileIndexLow == named.nFileIndexLow;
}

}  // namespace

std::wstring SystemTempFolder() {
  const std::wstring windows = WindowsDirectory();
  return windows.empty() ? windows : windows + kTempSubfolder;
}

SecurityDescriptor CopyFolderSecurity(bool with_owner) {
  return SecurityDescriptor::FromSddl(
      ((with_owner ? std::wstring(kAdministratorsOwner) : std::wstring()) + kCopyFolderDacl)
          .c_str());
}

DWORD CreateCopyFolder(const std::wstring& path, UniqueHandle* held) {
  const SecurityDescriptor with_owner = CopyFolderSecurity(true);
  const SecurityDescriptor without_owner = CopyFolderSecurity(false);
  if (!with_owner) return with_owner.error();
  if (!without_owner) return without_owner.error();
  SECURITY_ATTRIBUTES security = {sizeof(security), with_owner.get(), FALSE};
  BOOL created = ::CreateDirectoryW(path.c_str(), &security);
  if (!created && ::GetLastError() == ERROR_INVALID_OWNER) {
    security.lpSecurityDescriptor = without_owner.get();
    created = ::CreateDirectoryW(path.c_str(), &security);
  }
  if (!created) return ::GetLastError();
  SECURITY_ATTRIBUTES inherit = Inheritable();
  held->reset(::CreateFileW(path.c_str(), kHeldFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &inherit, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return *held ? ERROR_SUCCESS : ::GetLastError();
}

DWORD MakeTemporaryCopy(const std::wstring& source, TemporaryCopy* copy) {
  std::string bytes;
  {
    const UniqueHandle own(::CreateFileW(source.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    if (!own || !ReadAll(own.get(), &bytes)) return LastErrorOr(ERROR_READ_FAULT);
  }
  const std::wstring temp = SystemTempFolder();
  if (temp.empty()) return LastErrorOr(ERROR_PATH_NOT_FOUND);
  unsigned char random[kCopyFolderRandomBytes];
  if (!::RtlGenRandom(random, sizeof(random))) return ERROR_GEN_FAILURE;
  copy->folder_path = temp + L"\\" + CopyFolderName(random);
  copy->path = copy->folder_path + L"\\" + kCopyName;
  DWORD result = CreateCopyFolder(copy->folder_path, &copy->folder);
  if (result != ERROR_SUCCESS) return result;
  result = WriteHeldCopy(bytes, copy->path, &copy->file);
  if (result != ERROR_SUCCESS) DiscardTemporaryCopy(copy);
  return result;
}

DWORD StartRelaunchedCopy(TemporaryCopy* copy) {
  UniqueHandle self;
  const HANDLE process = ::GetCurrentProcess();
  // Waited for by the copy, which also reads whose it is.
  if (!::DuplicateHandle(process, process, process, self.put(),
                         SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0)) {
    const DWORD error = ::GetLastError();
    DiscardTemporaryCopy(copy);
    return error;
  }
  RelaunchHandles handles;
  handles.parent = HandleValue(self.get());
  handles.folder = HandleValue(copy->folder.get());
  handles.file = HandleValue(copy->file.get());
  const std::wstring system = SystemDirectory();
  ProgramStart start;
  start.program = copy->path;
  start.arguments = RelaunchArguments(handles);
  start.current_directory = system.empty() ? nullptr : system.c_str();
  start.inherited = {self.get(), copy->folder.get(), copy->file.get()};
  start.visibility = Visibility::kShown;
  const UniqueHandle started = StartProgram(start);
  if (!started) {
    const DWORD error = LastErrorOr(ERROR_GEN_FAILURE);
    DiscardTemporaryCopy(copy);
    return error;
  }
  return ERROR_SUCCESS;
}

Relaunch ProveRelaunchedCopy(const wchar_t* arguments, TemporaryCopy* self, DWORD* error) {
  RelaunchHandles handles;
  if (arguments == nullptr || !ParseRelaunchArguments(arguments, &handles)) return Relaunch::kNone;
  *error = kUnprovenRelaunchError;
  const std::wstring image = GetOwnModulePath();
  const std::wstring temp = SystemTempFolder();
  if (!RunsFromCopyFolder(image, temp)) return Relaunch::kUnproven;
  const size_t slash = image.find_last_of(L"\\/");
  const size_t before = image.find_last_of(L"\\/", slash - 1);
  const std::wstring folder_name = image.substr(before + 1, slash - before - 1);
  // Built from the parts just judged, so the deletion names nothing this process did not check.
  const std::wstring folder_path = temp + L"\\" + folder_name;
  const HANDLE parent = HandleFromValue(handles.parent), folder = HandleFromValue(handles.folder),
               file = HandleFromValue(handles.file);
  if (handles.parent == handles.folder || handles.parent == handles.file ||
      handles.folder == handles.file || !IsHandleOf(file, image, false) ||
      !IsHandleOf(folder, folder_path, true) || ::GetProcessId(parent) != ParentPid()) {
    return Relaunch::kUnproven;
  }
  self->folder_path = folder_path;
  self->path = folder_path + L"\\" + kCopyName;
  self->folder.reset(folder);
  self->file.reset(file);
  const UniqueHandle maker(parent);
  ::WaitForSingleObject(maker.get(), kParentExitWaitMs);
  return Relaunch::kProven;
}

void StartSelfDeletion(const TemporaryCopy& self) {
  if (!self.file) return;
  const std::wstring system = SystemDirectory();
  const std::wstring arguments = SelfDeletionArguments(system, self.folder_path, kCopyName);
  if (!arguments.empty()) {
    StartHiddenCommand(arguments, SelfDeletionEnvironment(WindowsDirectory(), system));
  }
}

}  // namespace varnelo
