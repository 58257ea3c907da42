#include "service/caller.h"

#include <psapi.h>
#include <winternl.h>

#include "service/service_log.h"

namespace varnelo {

namespace {

constexpr DWORD kCallerAccess =
    PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE | SYNCHRONIZE;
constexpr DWORD kImagePathChars = 520;
constexpr DWORD kMappedNameChars = 1024;
// PEB.ImageBaseAddress in a 64-bit process; the service only ships as a 64-bit program, and a
// 32-bit caller has a 64-bit PEB as well.
constexpr size_t kPebImageBaseOffset = 0x10;
static_assert(sizeof(void*) == 8, "the PEB offset above is the 64-bit one");

const void* ImageBaseOf(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic = {};
  if (::NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic),
                                  nullptr) != 0 ||
      basic.PebBaseAddress == nullptr) {
    return nullptr;
  }
  const BYTE* peb = reinterpret_cast<const BYTE*>(basic.PebBaseAddress);
  void* imageBase = nullptr;
  SIZE_T got = 0;
  if (!::ReadProcessMemory(process, peb + kPebImageBaseOffset, &imageBase, sizeof(imageBase),
                           &got) ||
      got != sizeof(imageBase)) {
    return nullptr;
  }
  return imageBase;
}

// The process's image path in the form `flags` asks for; empty when it cannot be read. Reads
// the name the process was created with, without opening the file.
std::wstring ImageNameOf(HANDLE process, DWORD flags) {
  wchar_t image[kImagePathChars] = {};
  DWORD imageChars = kImagePathChars;
  if (!::QueryFullProcessImageNameW(process, flags, image, &imageChars)) return std::wstring();
  return std::wstring(image, imageChars);
}

// Enables one privilege of the process token for the life of the object, then sets its
// attributes back to 0, so the service runs with it only around a single call.
class ScopedPrivilege {
 public:
  ScopedPrivilege(HANDLE token, const wchar_t* name) : token_(token) {
    privileges_.PrivilegeCount = 1;
    privileges_.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    adjusted_ = ::LookupPrivilegeValueW(nullptr, name, &privileges_.Privileges[0].Luid) &&
                ::AdjustTokenPrivileges(token_, FALSE, &privileges_, 0, nullptr, nullptr);
  }
  ~ScopedPrivilege() {
    if (!adjusted_) return;
    privileges_.Privileges[0].Attributes = 0;
    ::AdjustTokenPrivileges(token_, FALSE, &privileges_, 0, nullptr, nullptr);
  }
  ScopedPrivilege(const ScopedPrivilege&) = delete;
  ScopedPrivilege& operator=(const ScopedPrivilege&) = delete;

 private:
  HANDLE token_;
  TOKEN_PRIVILEGES privileges_ = {};
  bool adjusted_ = false;
};

// Opens the caller; on access denied tries once more with SeDebugPrivilege enabled around that
// one call (a caller of another account or integrity may refuse the plain open). Sets
// *error to the error that decides when nothing was opened.
UniqueHandle OpenCallerProcess(DWORD pid, DWORD* error) {
  UniqueHandle process(::OpenProcess(kCallerAccess, FALSE, pid));
  if (process) return process;
  *error = ::GetLastError();
  if (*error != ERROR_ACCESS_DENIED) {
    ServiceLog("OpenProcess pid=%lu failed err=%lu (no debug-priv retry)", pid, *error);
    return process;
  }
  ServiceLog("OpenProcess pid=%lu access denied, retry with SeDebugPrivilege", pid);
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) {
    ServiceLog("OpenProcessToken self failed err=%lu", ::GetLastError());
    return process;
  }
  {
    const ScopedPrivilege debug(token.get(), SE_DEBUG_NAME);
    process.reset(::OpenProcess(kCallerAccess, FALSE, pid));
    if (!process) *error = ::GetLastError();
  }
  if (!process) {
    ServiceLog("OpenProcess pid=%lu still failed after SeDebugPrivilege err=%lu", pid, *error);
  }
  return process;
}

}  // namespace

Caller Caller::FromPipe(HANDLE pipe) {
  Caller caller;
  ULONG pid = 0;
  if (!::GetNamedPipeClientProcessId(pipe, &pid) || pid == 0) {
    caller.openError_ = ::GetLastError();
    return caller;
  }
  caller.pid_ = pid;
  caller.process_ = OpenCallerProcess(pid, &caller.openError_);
  if (!caller.process_) return caller;
  caller.image_ = ImageNameOf(caller.process_.get(), 0);
  caller.nativeImage_ = ImageNameOf(caller.process_.get(), PROCESS_NAME_NATIVE);
  return caller;
}

bool Caller::HasEnded() const {
  return !process_ || ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
}

std::wstring Caller::MappedImagePath() const {
  if (!process_) return std::wstring();
  const void* imageBase = ImageBaseOf(process_.get());
  if (imageBase == nullptr) return std::wstring();
  wchar_t name[kMappedNameChars] = {};
  const DWORD length = ::GetMappedFileNameW(process_.get(), const_cast<void*>(imageBase), name,
                                            kMappedNameChars);
  if (length == 0 || length >= kMappedNameChars) return std::wstring();
  // The name is an NT path: a device path on Windows, a \??\ path under Wine.
  const std::wstring native(name, length);
  if (native.compare(0, 4, L"\\??\\") == 0) return L"\\\\?\\" + native.substr(4);
  return L"\\\\?\\GLOBALROOT" + native;
}

}  // namespace varnelo
