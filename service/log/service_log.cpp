#include "service/log/service_log.h"

#include <windows.h>

#include <cstdarg>
#include <mutex>
#include <string>

#include "common/unique_resource.h"
#include "service/log/link_rules.h"
#include "service/log/log_folder.h"
#include "service/log/log_line.h"
#include "service/log/relative_files.h"

namespace varnelo {

namespace {

constexpr DWORD kProgramDataBufferChars = 260;
constexpr wchar_t kLogFileName[] = L"service.log";

// The log folder, opened and judged once and then held for the life of the process; opened
// again only when ProgramData names another folder or the last open failed.
struct HeldLogFolder {
  std::wstring program_data;
  LogFolder folder;
};

// What every ServiceLog call shares. Process-wide by nature: the log is written from every part
// and thread, before the service's host exists and after it has ended.
struct LogState {
  // Innermost lock of the service: held for a whole ServiceLog call, takes no other lock.
  std::mutex lock;
  // GetTickCount64 of the last rotation attempt; 0 before the first. Guarded by the lock.
  ULONGLONG last_rotation = 0;
  HeldLogFolder held;  // guarded by the lock
};
LogState g_log;

std::wstring GenerationName(int generation) {
  return std::wstring(kLogFileName) + L"." + std::to_wstring(generation);
}

// Renames and deletes act on a link itself, never on what it points to.
void RotateLog(HANDLE folder) {
  DeleteRelative(folder, GenerationName(kLogGenerations));
  for (int generation = kLogGenerations - 1; generation >= 1; --generation) {
    RenameNameRelative(folder, GenerationName(generation), GenerationName(generation + 1), true);
  }
  RenameNameRelative(folder, kLogFileName, GenerationName(1), true);
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

UniqueHandle OpenLogFileOnce(HANDLE folder, EntryFacts* facts) {
  RelativeOpen how;
  how.access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES;
  how.share = FILE_SHARE_READ;
  how.disposition = kFileOpenIf;
  how.options = kFileNonDirectoryFile;
  how.attributes = FILE_ATTRIBUTE_NORMAL;
  UniqueHandle file;
  if (OpenRelative(folder, kLogFileName, how, &file) < 0) return UniqueHandle();
  if (!QueryEntryFacts(file.get(), facts)) return UniqueHandle();
  return file;
}

// Opens service.log in the held folder for one append, rotating it first when it is due.
// A planted link takes the name: the name is dropped (never its target) and a fresh file made.
UniqueHandle OpenLogFile(HANDLE folder) {
  EntryFacts facts;
  UniqueHandle file = OpenLogFileOnce(folder, &facts);
  if (!file) return file;
  if (!IsPlainLogEntry(facts.attributes, facts.links, false)) {
    file.reset();
    if (!DeleteRelative(folder, kLogFileName)) return file;
    file = OpenLogFileOnce(folder, &facts);
    if (!file || !IsPlainLogEntry(facts.attributes, facts.links, false)) return UniqueHandle();
  }
  const ULONGLONG now = ::GetTickCount64();
  if (!ShouldRotateLog(facts.size, now, g_log.last_rotation)) return file;
  g_log.last_rotation = now;  // before any rename, so a failed rotation waits its minute
  file.reset();
  RotateLog(folder);
  file = OpenLogFileOnce(folder, &facts);
  if (file && !IsPlainLogEntry(facts.attributes, facts.links, false)) file.reset();
  return file;
}

// The held folder for this ProgramData value, opened (and judged) only when it is not held yet.
HANDLE HeldFolderFor(const std::wstring& program_data) {
  if (!g_log.held.folder.handle || g_log.held.program_data != program_data) {
    g_log.held.folder = LogFolder();  // let go of a folder ProgramData no longer names
    g_log.held.folder = OpenLogFolder(program_data);
    g_log.held.program_data = program_data;
  }
  return g_log.held.folder.handle.get();
}

void WriteLine(HANDLE file, const char* format, va_list args) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  const LogStamp stamp = {now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                          now.wMinute, now.wSecond, now.wMilliseconds};
  char line[kLogLineBufferSize];
  const size_t line_length = FormatLogLine(line, stamp, format, args);
  DWORD written = 0;
  ::WriteFile(file, line, static_cast<DWORD>(line_length), &written, nullptr);
}

void WriteLineF(HANDLE file, const char* format, ...) VARNELO_PRINTF_FORMAT(2, 3);
void WriteLineF(HANDLE file, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(file, format, args);
  va_end(args);
}

}  // namespace

void ServiceLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ServiceLogV(format, args);
  va_end(args);
}

void ServiceLogV(const char* format, va_list args) {
  const LastErrorKeeper keep_last_error;
  std::lock_guard<std::mutex> lock(g_log.lock);

  wchar_t program_data[kProgramDataBufferChars];
  const DWORD length =
      ::GetEnvironmentVariableW(L"ProgramData", program_data, kProgramDataBufferChars);
  // A value that does not fit would leave the buffer unfilled: drop the line, never cut the path.
  if (length == 0 || length >= kProgramDataBufferChars) {
    g_log.held = HeldLogFolder();
    return;
  }
  const HANDLE folder = HeldFolderFor(std::wstring(program_data, length));
  if (folder == nullptr) return;
  const UniqueHandle file = OpenLogFile(folder);
  if (!file) return;

  LogFolder& held = g_log.held.folder;
  if (!held.moved_aside_as.empty()) {
    WriteLineF(file.get(), "ServiceLog WARNING: log folder owned by %ls moved aside as %ls",
               held.foreign_owner.c_str(), held.moved_aside_as.c_str());
    held.moved_aside_as.clear();
  }
  WriteLine(file.get(), format, args);
}

}  // namespace varnelo
