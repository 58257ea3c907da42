#include "service/caller.h"

#include <psapi.h>
#include <winternl.h>

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

}  // namespace

Caller Caller::FromPipe(HANDLE pipe) {
  Caller caller;
  ULONG pid = 0;
  if (!::GetNamedPipeClientProcessId(pipe, &pid) || pid == 0) {
    caller.openError_ = ::GetLastError();
    return caller;
  }
  caller.pid_ = pid;
  caller.process_.reset(::OpenProcess(kCallerAccess, FALSE, pid));
  if (!caller.process_) {
    caller.openError_ = ::GetLastError();
    return caller;
  }
  wchar_t image[kImagePathChars] = {};
  DWORD imageChars = kImagePathChars;
  if (::QueryFullProcessImageNameW(caller.process_.get(), 0, image, &imageChars)) {
    caller.image_.assign(image, imageChars);
  }
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
