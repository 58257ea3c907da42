#include "service/service_log.h"

#include <aclapi.h>

#include <cstdarg>
#include <mutex>
#include <string>

#include "common/unique_resource.h"
#include "service/link_rules.h"
#include "service/log_line.h"

namespace varnelo {

const wchar_t kLogDirectorySddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

namespace {

constexpr DWORD kProgramDataBufferChars = 260;
constexpr wchar_t kLogDirName[] = L"\\Varnelo";
constexpr wchar_t kLogFileName[] = L"\\service.log";

// Innermost lock of the service: held for a whole ServiceLog call, takes no other lock.
std::mutex g_logLock;
// GetTickCount64 of the last rotation attempt; 0 before the first. Guarded by g_logLock.
ULONGLONG g_lastRotation = 0;

constexpr ACCESS_MASK kWriteLikeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                         FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                         WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool IsTrustedSid(PSID sid) {
  return sid != nullptr && (::IsWellKnownSid(sid, WinLocalSystemSid) ||
                            ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

static_assert(kAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY &&
                  kAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT,
              "link rules read the Windows attribute bits");

bool IsPlainLogHandle(HANDLE file, bool expectDirectory) {
  BY_HANDLE_FILE_INFORMATION info = {};
  return ::GetFileInformationByHandle(file, &info) &&
         IsPlainLogEntry(info.dwFileAttributes, info.nNumberOfLinks, expectDirectory);
}

// Opens the log directory and keeps it open for the whole call without FILE_SHARE_DELETE, so it
// cannot be swapped for a junction between our checks and our writes. A directory that someone
// else created, or whose DACL lets users write, gets our owner and DACL before we use it.
UniqueHandle OpenLogDirectory(const std::wstring& directory) {
  SecurityDescriptor wanted = SecurityDescriptor::FromSddl(kLogDirectorySddl);
  SECURITY_ATTRIBUTES sa = {sizeof(sa), wanted.get(), FALSE};
  ::CreateDirectoryW(directory.c_str(), wanted ? &sa : nullptr);

  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  UniqueHandle dir(::CreateFileW(directory.c_str(),
                                 FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                                 nullptr));
  if (!dir) return UniqueHandle();
  if (!IsPlainLogHandle(dir.get(), true)) return UniqueHandle();

  PSECURITY_DESCRIPTOR current = nullptr;
  if (::GetSecurityInfo(dir.get(), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &current) != ERROR_SUCCESS) {
    return UniqueHandle();
  }
  UniqueLocal currentOwner(current);
  if (IsLogDirectorySecure(current)) return dir;
  if (!wanted) return UniqueHandle();

  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(wanted.get(), &present, &dacl, &defaulted);
  BYTE adminSid[SECURITY_MAX_SID_SIZE];
  DWORD adminSidSize = sizeof(adminSid);
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, adminSid, &adminSidSize)) {
    return UniqueHandle();
  }
  const DWORD result = ::SetSecurityInfo(
      dir.get(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      adminSid, nullptr, dacl, nullptr);
  if (result != ERROR_SUCCESS) return UniqueHandle();
  return dir;
}

std::wstring GenerationPath(const std::wstring& logPath, int generation) {
  return logPath + L"." + std::to_wstring(generation);
}

void RotateLogIfNeeded(const std::wstring& logPath) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(logPath.c_str(), GetFileExInfoStandard, &data)) return;
  const ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  const ULONGLONG now = ::GetTickCount64();
  if (!ShouldRotateLog(size, now, g_lastRotation)) return;
  g_lastRotation = now;
  // MoveFileEx and DeleteFile act on a link itself, never on what it points to.
  ::DeleteFileW(GenerationPath(logPath, kLogGenerations).c_str());
  for (int generation = kLogGenerations - 1; generation >= 1; --generation) {
    ::MoveFileExW(GenerationPath(logPath, generation).c_str(),
                  GenerationPath(logPath, generation + 1).c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  ::MoveFileExW(logPath.c_str(), GenerationPath(logPath, 1).c_str(), MOVEFILE_REPLACE_EXISTING);
}

// Logging a failure must not change the error the caller is about to report.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : saved_(::GetLastError()) {}
  ~LastErrorKeeper() { ::SetLastError(saved_); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD saved_;
};

enum class LogOpen { kOpened, kFailed, kPlantedLink };

LogOpen OpenPlainLogFile(const std::wstring& logPath, UniqueHandle* file) {
  file->reset(::CreateFileW(logPath.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!*file) return LogOpen::kFailed;
  if (IsPlainLogHandle(file->get(), false)) return LogOpen::kOpened;
  file->reset();
  return LogOpen::kPlantedLink;
}

UniqueHandle OpenLogFile(const std::wstring& logPath) {
  UniqueHandle file;
  // A planted link takes the name: drop the name (never its target) and start a fresh file.
  if (OpenPlainLogFile(logPath, &file) == LogOpen::kPlantedLink && ::DeleteFileW(logPath.c_str())) {
    OpenPlainLogFile(logPath, &file);
  }
  return file;
}

}  // namespace

bool IsLogDirectorySecure(PSECURITY_DESCRIPTOR sd) {
  PSID owner = nullptr;
  BOOL ownerDefaulted = FALSE;
  if (!::GetSecurityDescriptorOwner(sd, &owner, &ownerDefaulted) || !IsTrustedSid(owner)) {
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::GetSecurityDescriptorControl(sd, &control, &revision) || !(control & SE_DACL_PROTECTED)) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl) {
    return false;  // no DACL at all means everyone may write
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return false;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kWriteLikeRights) != 0 && !IsTrustedSid(sid)) return false;
  }
  return true;
}

void ServiceLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ServiceLogV(format, args);
  va_end(args);
}

void ServiceLogV(const char* format, va_list args) {
  const LastErrorKeeper keepLastError;
  std::lock_guard<std::mutex> lock(g_logLock);

  wchar_t programData[kProgramDataBufferChars];
  const DWORD length = ::GetEnvironmentVariableW(L"ProgramData", programData, kProgramDataBufferChars);
  // A value that does not fit would leave the buffer unfilled: drop the line, never cut the path.
  if (length == 0 || length >= kProgramDataBufferChars) return;

  const std::wstring directory = std::wstring(programData, length) + kLogDirName;
  const UniqueHandle directoryGuard = OpenLogDirectory(directory);
  if (!directoryGuard) return;

  const std::wstring logPath = directory + kLogFileName;
  RotateLogIfNeeded(logPath);
  const UniqueHandle file = OpenLogFile(logPath);
  if (!file) return;

  SYSTEMTIME now;
  ::GetLocalTime(&now);
  const LogStamp stamp = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                          now.wMilliseconds};
  char line[kLogLineBufferSize];
  const size_t lineLength = FormatLogLine(line, stamp, format, args);

  DWORD written = 0;
  ::WriteFile(file.get(), line, static_cast<DWORD>(lineLength), &written, nullptr);
}

}  // namespace varnelo
