#include "service/trust/caller.h"

#include <psapi.h>
#include <winternl.h>

#include <cstdint>

#include "common/account.h"
#include "service/trust/caller_hooks.h"

namespace varnelo {

namespace {

// What the caller check needs and no more: the image's names, the image's mapping (the process's
// memory) for the rename check, and waiting to see whether the opener has ended. A hand-over
// widens it through Reopen, only for a trusted caller and only for the command that needs it.
constexpr DWORD kCallerAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE;
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
  void* image_base = nullptr;
  SIZE_T got = 0;
  if (!::ReadProcessMemory(process, peb + kPebImageBaseOffset, &image_base, sizeof(image_base),
                           &got) ||
      got != sizeof(image_base)) {
    return nullptr;
  }
  return image_base;
}

// The process's image path in the form `flags` asks for; empty when it cannot be read. Reads
// the name the process was created with, without opening the file.
std::wstring ImageNameOf(HANDLE process, DWORD flags) {
  wchar_t image[kImagePathChars] = {};
  DWORD image_chars = kImagePathChars;
  if (!::QueryFullProcessImageNameW(process, flags, image, &image_chars)) return std::wstring();
  return std::wstring(image, image_chars);
}

// A path that opens the file mapped as the process's image, by its current name; empty when
// unknown.
std::wstring MappedImagePathOf(HANDLE process) {
  const void* image_base = ImageBaseOf(process);
  if (image_base == nullptr) return std::wstring();
  wchar_t name[kMappedNameChars] = {};
  const DWORD length =
      ::GetMappedFileNameW(process, const_cast<void*>(image_base), name, kMappedNameChars);
  if (length == 0 || length >= kMappedNameChars) return std::wstring();
  // The name is an NT path: a device path on Windows, a \??\ path under Wine.
  const std::wstring native(name, length);
  if (native.compare(0, 4, L"\\??\\") == 0) return L"\\\\?\\" + native.substr(4);
  return L"\\\\?\\GLOBALROOT" + native;
}

std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

Caller Caller::AtConnection(HANDLE pipe, const FILETIME& connected_at) {
  Caller caller;
  ULONG pid = 0;
  if (!::GetNamedPipeClientProcessId(pipe, &pid) || pid == 0) {
    caller.open_error_ = ::GetLastError();
    return caller;
  }
  caller.pid_ = pid;
  caller.process_.reset(::OpenProcess(kCallerAccess, FALSE, pid));
  if (!caller.process_) {
    caller.open_error_ = ::GetLastError();
    return caller;
  }
  const FILETIME opened_at = PreciseSystemTime();
  FILETIME created = {}, exited = {}, kernel = {}, user = {};
  caller.newer_than_connection_ =
      ::GetProcessTimes(caller.process_.get(), &created, &exited, &kernel, &user) &&
      IsCreatedWhileConnecting(Ticks(CallerCreationTime(created, opened_at)), Ticks(connected_at),
                               Ticks(opened_at));
  caller.image_ = ImageNameOf(caller.process_.get(), 0);
  caller.native_image_ = ImageNameOf(caller.process_.get(), PROCESS_NAME_NATIVE);
  caller.user_ = ProcessUserSid(caller.process_.get());
  return caller;
}

bool Caller::HasEnded() const {
  return !process_ || ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
}

UniqueHandle Caller::Reopen(DWORD access) const {
  UniqueHandle reopened;
  const HANDLE self = ::GetCurrentProcess();
  if (!process_) {
    ::SetLastError(open_error_ != 0 ? open_error_ : ERROR_INVALID_HANDLE);
    return reopened;
  }
  ::DuplicateHandle(self, process_.get(), self, reopened.put(), access, FALSE, 0);
  return reopened;
}

FILETIME PreciseSystemTime() {
  // Windows 8 and later; a process's creation time is never later than this reading.
  using PreciseClock = void(WINAPI*)(FILETIME*);
  static const PreciseClock precise = reinterpret_cast<PreciseClock>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
  FILETIME now = {};
  if (precise != nullptr) {
    precise(&now);
  } else {
    ::GetSystemTimeAsFileTime(&now);
  }
  return now;
}

FileIdentity FileIdentityOf(HANDLE file) {
  FileIdentity identity;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (file == nullptr || file == INVALID_HANDLE_VALUE ||
      !::GetFileInformationByHandle(file, &info)) {
    return identity;
  }
  identity.known = true;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return identity;
}

FileVersion Caller::ImageVersion() const {
  FileVersion version;
  if (image_.empty() || !IsOnLocalVolume(native_image_)) return version;
  // Attribute-only access takes no part in sharing.
  const UniqueHandle image(::CreateFileW(image_.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!image || !::GetFileInformationByHandle(image.get(), &info)) return version;
  version.file = FileIdentityOf(image.get());
  version.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  version.last_write = (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                       info.ftLastWriteTime.dwLowDateTime;
  return version;
}

FileIdentity Caller::MappedImageIdentity() const {
  const std::wstring mapped_path = process_ ? MappedImagePathOf(process_.get()) : std::wstring();
  if (mapped_path.empty()) return FileIdentity();
  // Attribute-only access takes no part in sharing, so the running image always opens.
  const UniqueHandle mapped(::CreateFileW(mapped_path.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return FileIdentityOf(mapped.get());
}

}  // namespace varnelo
