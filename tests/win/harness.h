// Helpers for tests that drive the real programs under Wine: processes, temporary folders,
// the console-mode service and its log.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "service/core/core_rules.h"

namespace varnelo {
namespace test {

// Polls `done` every 20 ms until it holds (true) or the time is up (false).
template <typename Predicate>
bool WaitUntil(DWORD timeout_ms, Predicate done) {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  while (!done()) {
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(20);
  }
  return true;
}

// Wine exports wine_get_version from ntdll; Windows does not.
bool IsRunningUnderWine();

// Folder of the running test program (the build's bin\), with a trailing backslash.
std::wstring BinDir();
std::string Narrow(const std::wstring& wide);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // With a trailing backslash.
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

void RemoveTree(const std::wstring& path);
// How many names match `pattern` (for example L"C:\\dir\\*.exe"), "." and ".." aside.
size_t CountMatches(const std::wstring& pattern);
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

// Variables to set in a child's environment; an empty value removes the variable.
using Environment = std::map<std::wstring, std::wstring>;

// A child process whose standard output and error are captured through a pipe.
class Child {
 public:
  Child() = default;
  Child(const std::wstring& command_line, const Environment& overrides = {},
        const std::wstring& current_directory = L"", DWORD creation_flags = 0);
  ~Child();
  Child(Child&&) = default;
  Child& operator=(Child&&) = default;
  bool started() const { return static_cast<bool>(handles_.process); }
  // Why the start failed (the last error of the step that failed), 0 once started.
  DWORD start_error() const { return start_error_; }
  DWORD pid() const { return handles_.pid; }
  HANDLE process() const { return handles_.process.get(); }
  // Waits for the process to end and returns its exit code (STILL_ACTIVE on time-out).
  DWORD Wait(DWORD timeout_ms);
  void Kill();
  // Everything read so far, after draining what is available now.
  const std::string& Output();
  // Reads until `text` has appeared in the output or the time is up.
  bool WaitForOutput(const std::string& text, DWORD timeout_ms);

 private:
  ProcessHandles handles_;
  DWORD start_error_ = 0;
  UniqueHandle output_;
  std::string captured_;
};

// Runs a program to its end and returns exit code and output.
struct RunResult {
  DWORD exit_code;
  std::string output;
};
RunResult RunToEnd(const std::wstring& command_line, DWORD timeout_ms = 60000,
                   const Environment& overrides = {});

// `VarneloService.exe -run` with its own ProgramData, so each test has its own log.
class ConsoleService {
 public:
  // `program_data` (with a trailing backslash) defaults to a fresh temporary folder.
  explicit ConsoleService(const std::wstring& exe = BinDir() + L"VarneloService.exe",
                          const std::wstring& program_data = L"", const Environment& extra = {},
                          DWORD creation_flags = 0);
  ~ConsoleService();
  ConsoleService(const ConsoleService&) = delete;
  ConsoleService& operator=(const ConsoleService&) = delete;
  bool ready() const { return ready_; }
  Child& process() { return child_; }
  const std::wstring& program_data() const { return program_data_path_; }
  std::wstring LogPath() const;
  // The log's messages with their time stamps removed.
  std::vector<std::string> LogMessages() const;
  void Stop();

 private:
  TempDir own_program_data_;
  std::wstring program_data_path_;
  Child child_;
  bool ready_ = false;
};

// The service's own ServiceLog in this process, writing into a ProgramData of its own for the
// object's life.
class InProcessLog {
 public:
  InProcessLog();
  // The log holds its folder for as long as ProgramData names it: let go before it is removed.
  ~InProcessLog();
  InProcessLog(const InProcessLog&) = delete;
  InProcessLog& operator=(const InProcessLog&) = delete;
  const std::wstring& program_data() const { return program_data_.path(); }
  // The log folder, with a trailing backslash.
  std::wstring dir() const { return program_data_.path() + L"Varnelo\\"; }
  std::vector<std::string> Messages() const;

 private:
  TempDir program_data_;
  std::wstring saved_;
  bool had_saved_ = false;
};

// Sends one request as this (publisher-signed) test program and returns the raw response.
std::string Exchange(const std::string& request, size_t chunk = 0);

// Messages of a log file with their time stamps removed.
std::vector<std::string> ReadLogMessages(const std::wstring& log_path);
std::string WithoutCarriageReturns(std::string text);
size_t CountContaining(const std::vector<std::string>& lines, const std::string& text);

// Makes `link` (a new empty directory) a junction to `target`. False when the file system
// (for example Wine's) cannot.
bool CreateJunction(const std::wstring& link, const std::wstring& target);

// Whether the process with this id is still running.
bool IsProcessAlive(DWORD pid);
// Ids of the running processes whose file has this name, in any letter case.
std::vector<DWORD> ProcessIdsNamed(const wchar_t* exe_name);
// Handles a process holds, from the system-wide table (Wine's GetProcessHandleCount says 0).
size_t CountHandlesOf(DWORD pid);
// This process's user as SID text ("S-1-5-21-..."), empty when it cannot be read.
std::wstring OwnUserSid();

// How many of `expected` begin, in this order, somewhere in a line of `log`.
size_t CountInOrder(const std::vector<std::string>& log, const std::vector<std::string>& expected);

const char kPong63[] = "capabilities=63\nok=1\npong=1\nprotocol=2\n\n";
// A copy of the test client signed as `identity` (publisher, none, other...).
std::wstring ClientExe(const wchar_t* identity);
// A publisher-signed client that starts the core from `app_dir` with its data in `data_dir`, then
// does `then` (exit, hold).
Child StartCoreClient(const std::wstring& app_dir, const std::wstring& data_dir,
                      const wchar_t* then);

// The log of the service the service control manager runs (its ProgramData is C:\users\Public
// under Wine).
std::wstring ServiceLogPath();

// VarneloService under the service control manager. Construction and destruction leave no
// registration behind; construction also removes the service's log folder.
class ScmService {
 public:
  ScmService();
  ~ScmService() { Remove(); }
  ScmService(const ScmService&) = delete;
  ScmService& operator=(const ScmService&) = delete;
  SC_HANDLE manager() const { return manager_.get(); }
  SC_HANDLE get() const { return service_.get(); }
  // Registers `directory`VarneloService.exe to start on demand and starts it.
  bool RegisterAndStart(const std::wstring& directory);
  bool SendStop();
  bool Stop() { return SendStop() && WaitFor(SERVICE_STOPPED); }
  DWORD State();  // 0 without a registration
  bool WaitFor(DWORD state, DWORD timeout_ms = 15000);
  bool Exists();
  // Stops, deletes and waits until the registration is purged.
  void Remove();

 private:
  UniqueServiceHandle Open(DWORD access);
  UniqueServiceHandle manager_, service_;
};
}  // namespace test
}  // namespace varnelo
