#include "tests/win/harness.h"

#include <sddl.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <deque>

#include "common/account.h"
#include "common/ascii.h"
#include "common/inherited_handles.h"
#include "common/platform.h"
#include "common/process_list.h"
#include "common/utf8.h"
#include "service/core/core_launch.h"
#include "service/log/service_log.h"
#include "tools/service_client.h"

namespace varnelo {
namespace test {

namespace {
constexpr size_t kStampLength = 26;
constexpr DWORD kServiceReadyMs = 15000;
}  // namespace

std::wstring BinDir() { return DirectoryWithSeparator(GetOwnModulePath()); }

std::string Narrow(const std::wstring& wide) { return WideToUtf8(wide); }

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  wchar_t base[MAX_PATH];
  ::GetTempPathW(MAX_PATH, base);
  path_ = std::wstring(base) + L"vtest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
          std::to_wstring(counter++) + L"\\";
  RemoveTree(path_);
  ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
  std::wstring from = path;
  while (!from.empty() && from.back() == L'\\') from.pop_back();
  // The shell resolves what it cannot take whole against the current folder: under Wine a path
  // past MAX_PATH emptied the test's working directory. Only a short drive-absolute path goes in.
  const bool drive_absolute = from.size() > 3 && from[1] == L':' && from[2] == L'\\';
  if (!drive_absolute || from.size() >= MAX_PATH) return;
  if (::GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  from.push_back(L'\0');  // double-terminated list
  SHFILEOPSTRUCTW op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_NO_UI;
  ::SHFileOperationW(&op);
}

// FindFirstFileW's handle, which only FindClose releases.
struct FindHandleTraits : KernelHandleTraits {
  static void Close(pointer h) noexcept { ::FindClose(h); }
};

size_t CountMatches(const std::wstring& pattern) {
  WIN32_FIND_DATAW found;
  const UniqueResource<FindHandleTraits> search(::FindFirstFileW(pattern.c_str(), &found));
  size_t count = 0;
  for (bool more = static_cast<bool>(search); more;
       more = ::FindNextFileW(search.get(), &found) != FALSE) {
    count += std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0;
  }
  return count;
}

std::string ReadFileBytes(const std::wstring& path) {
  const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  if (!file) return bytes;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
    bytes.append(buffer, got);
  return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  const UniqueHandle file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file &&
         ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
         written == bytes.size();
}

Child::Child(const std::wstring& command_line, const Environment& overrides,
             const std::wstring& current_directory, DWORD creation_flags) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  UniqueHandle write_end;
  start_error_ = ERROR_GEN_FAILURE;  // until a step says better
  if (!::CreatePipe(output_.put(), write_end.put(), &inheritable, 1 << 16)) {
    start_error_ = ::GetLastError();
    return;
  }
  ::SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
  // The child inherits the write end and nothing else: no stray handle of a test reaches it.
  InheritedHandleList inherited;
  if (!inherited.Build({write_end.get()})) {
    start_error_ = ::GetLastError();
    return;
  }
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdOutput = startup.StartupInfo.hStdError = write_end.get();
  startup.lpAttributeList = inherited.list();
  // The child inherits this process's environment with the overrides in place for the moment.
  std::deque<ScopedEnvVar> overridden;
  for (const auto& entry : overrides) {
    overridden.emplace_back(entry.first.c_str(),
                            entry.second.empty() ? nullptr : entry.second.c_str());
  }
  std::wstring mutable_line = command_line;
  PROCESS_INFORMATION info = {};
  if (::CreateProcessW(nullptr, &mutable_line[0], nullptr, nullptr, TRUE,
                       creation_flags | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                       current_directory.empty() ? nullptr : current_directory.c_str(),
                       &startup.StartupInfo, &info)) {
    handles_.process.reset(info.hProcess);
    handles_.thread.reset(info.hThread);
    handles_.pid = info.dwProcessId;
    start_error_ = 0;
  } else {
    start_error_ = ::GetLastError();
  }
}

Child::~Child() {
  // A test that gives up early must not leave its programs running into the next test.
  if (started() && ::WaitForSingleObject(process(), 0) == WAIT_TIMEOUT) Kill();
}

DWORD Child::Wait(DWORD timeout_ms) {
  if (!started()) return static_cast<DWORD>(-1);
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  // Keep draining output so a chatty child never blocks on a full pipe.
  while (::WaitForSingleObject(process(), 20) == WAIT_TIMEOUT) {
    Output();
    if (::GetTickCount64() >= deadline) return STILL_ACTIVE;
  }
  Output();
  DWORD code = 0;
  ::GetExitCodeProcess(process(), &code);
  return code;
}

void Child::Kill() {
  if (!started()) return;
  ::TerminateProcess(process(), 1);
  ::WaitForSingleObject(process(), 5000);
}

const std::string& Child::Output() {
  DWORD available = 0;
  while (output_ && ::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr) &&
         available > 0) {
    std::string chunk(available, '\0');
    DWORD got = 0;
    if (!::ReadFile(output_.get(), &chunk[0], available, &got, nullptr)) break;
    captured_.append(chunk.data(), got);
  }
  return captured_;
}

bool Child::WaitForOutput(const std::string& text, DWORD timeout_ms) {
  return WaitUntil(timeout_ms, [&] { return Output().find(text) != std::string::npos; });
}

RunResult RunToEnd(const std::wstring& command_line, DWORD timeout_ms,
                   const Environment& overrides) {
  Child child(command_line, overrides);
  const DWORD exit_code = child.Wait(timeout_ms);
  if (exit_code == STILL_ACTIVE) child.Kill();
  return {exit_code, child.Output()};
}

static Environment WithProgramData(Environment environment, const std::wstring& program_data) {
  environment[L"ProgramData"] = program_data.substr(0, program_data.size() - 1);
  return environment;
}

ConsoleService::ConsoleService(const std::wstring& exe, const std::wstring& program_data,
                               const Environment& extra, DWORD creation_flags)
    : program_data_path_(program_data.empty() ? own_program_data_.path() : program_data),
      child_(QuoteArgument(exe) + L" -run", WithProgramData(extra, program_data_path_), L"",
             creation_flags) {
  // A request without cmd is answered without a log line: a silent readiness probe.
  const ULONGLONG deadline = ::GetTickCount64() + kServiceReadyMs;
  while (!ready_ && ::GetTickCount64() < deadline && child_.started()) {
    std::string response;
    ready_ = ExchangeWithService("\n\n", &response, 0, 500) &&
             response.find("missing cmd") != std::string::npos;
  }
}

ConsoleService::~ConsoleService() { Stop(); }

void ConsoleService::Stop() { child_.Kill(); }

std::wstring ConsoleService::LogPath() const {
  return program_data_path_ + L"Varnelo\\service.log";
}

std::vector<std::string> ConsoleService::LogMessages() const { return ReadLogMessages(LogPath()); }

std::string Exchange(const std::string& request, size_t chunk) {
  std::string response;
  if (!ExchangeWithService(request, &response, chunk)) return "(no connection)";
  return response;
}

std::vector<std::string> ReadLogMessages(const std::wstring& log_path) {
  const std::string text = ReadFileBytes(log_path);
  std::vector<std::string> lines;
  for (size_t pos = 0, end; pos < text.size(); pos = end + 2) {
    end = std::min(text.find("\r\n", pos), text.size());
    const std::string line = text.substr(pos, end - pos);
    lines.push_back(line.size() >= kStampLength ? line.substr(kStampLength) : line);
  }
  return lines;
}

bool IsRunningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

InProcessLog::InProcessLog() {
  saved_ = ReadEnvironmentVariable(L"ProgramData", &had_saved_);
  const std::wstring root = program_data_.path().substr(0, program_data_.path().size() - 1);
  ::SetEnvironmentVariableW(L"ProgramData", root.c_str());
}

InProcessLog::~InProcessLog() {
  ::SetEnvironmentVariableW(L"ProgramData", nullptr);
  ServiceLog("let the folder go");
  ::SetEnvironmentVariableW(L"ProgramData", had_saved_ ? saved_.c_str() : nullptr);
}

std::vector<std::string> InProcessLog::Messages() const {
  return ReadLogMessages(dir() + L"service.log");
}

std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(),
                    [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

bool CreateJunction(const std::wstring& link, const std::wstring& target) {
  if (!::CreateDirectoryW(link.c_str(), nullptr)) return false;
  const UniqueHandle dir(::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
  if (!dir) return false;
  // REPARSE_DATA_BUFFER for a mount point: substitute name "\??\target", print name "target".
  const std::wstring substitute = L"\\??\\" + target;
  const USHORT sub_bytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
  const USHORT print_bytes = static_cast<USHORT>(target.size() * sizeof(wchar_t));
  std::vector<BYTE> buffer(8 + 8 + sub_bytes + 2 + print_bytes + 2, 0);
  auto put16 = [&](size_t offset, USHORT value) { memcpy(&buffer[offset], &value, 2); };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  memcpy(&buffer[0], &tag, 4);
  put16(4, static_cast<USHORT>(buffer.size() - 8));
  put16(8, 0);
  put16(10, sub_bytes);
  put16(12, static_cast<USHORT>(sub_bytes + 2));
  put16(14, print_bytes);
  memcpy(&buffer[16], substitute.data(), sub_bytes);
  memcpy(&buffer[16 + sub_bytes + 2], target.data(), print_bytes);
  DWORD returned = 0;
  if (!::DeviceIoControl(dir.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                         static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr)) {
    ::RemoveDirectoryW(link.c_str());
    return false;
  }
  return true;
}

bool IsProcessAlive(DWORD pid) {
  const UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
  return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

std::vector<DWORD> ProcessIdsNamed(const wchar_t* exe_name) {
  std::vector<ProcessEntry> processes;
  ListProcesses(&processes);
  std::vector<DWORD> ids;
  for (const ProcessEntry& entry : processes) {
    if (EqualsIgnoringAsciiCase(entry.exe_name, exe_name)) ids.push_back(entry.pid);
  }
  return ids;
}

size_t CountHandlesOf(DWORD pid) {
  struct Entry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX
    void* object;
    ULONG_PTR pid, value;
    ULONG access;
    USHORT back_trace, type;
    ULONG attributes, reserved;
  };
  const auto kSystemExtendedHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(64);
  std::vector<unsigned char> buffer(1 << 20);
  ULONG needed = 0;
  while (::NtQuerySystemInformation(kSystemExtendedHandleInformation, buffer.data(),
                                    static_cast<ULONG>(buffer.size()), &needed) < 0) {
    if (buffer.size() > (64u << 20)) return 0;
    buffer.resize(buffer.size() * 2);
  }
  const ULONG_PTR entries =
      *reinterpret_cast<const ULONG_PTR*>(buffer.data());  // then a reserved word
  const Entry* entry = reinterpret_cast<const Entry*>(buffer.data() + 2 * sizeof(ULONG_PTR));
  size_t count = 0;
  for (ULONG_PTR i = 0; i < entries; ++i) count += entry[i].pid == pid;
  return count;
}

std::wstring OwnUserSid() { return ProcessUserSid(::GetCurrentProcess()); }

size_t CountInOrder(const std::vector<std::string>& log, const std::vector<std::string>& expected) {
  size_t at = 0;
  for (const std::string& line : log)
    at += at < expected.size() && line.find(expected[at]) != std::string::npos;
  return at;
}

std::wstring ClientExe(const wchar_t* identity) {
  return BinDir() + L"clients\\pipe_client_" + identity + L".exe";
}

Child StartCoreClient(const std::wstring& app_dir, const std::wstring& data_dir,
                      const wchar_t* then) {
  return Child(QuoteArgument(ClientExe(L"publisher")) + L" client " + QuoteArgument(app_dir) +
               L" " + QuoteArgument(data_dir) + L" " + QuoteArgument(data_dir + L"config") +
               L" --then " + then);
}

std::wstring ServiceLogPath() {
  return (IsRunningUnderWine() ? std::wstring(L"C:\\users\\Public")
                               : ReadEnvironmentVariable(L"ProgramData", nullptr)) +
         L"\\Varnelo\\service.log";
}

ScmService::ScmService() : manager_(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
  Remove();
  RemoveTree(DirectoryWithSeparator(ServiceLogPath()));
}

UniqueServiceHandle ScmService::Open(DWORD access) {
  return UniqueServiceHandle(::OpenServiceW(manager_.get(), L"VarneloService", access));
}

bool ScmService::RegisterAndStart(const std::wstring& directory) {
  service_.reset(::CreateServiceW(manager_.get(), L"VarneloService", L"Varnelo VPN Service (test)",
                                  SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  QuoteArgument(directory + L"VarneloService.exe").c_str(), nullptr,
                                  nullptr, nullptr, nullptr, nullptr));
  return service_ && ::StartServiceW(service_.get(), 0, nullptr) && WaitFor(SERVICE_RUNNING);
}

bool ScmService::SendStop() {
  SERVICE_STATUS status = {};
  return ::ControlService(Open(SERVICE_STOP).get(), SERVICE_CONTROL_STOP, &status) != FALSE;
}

DWORD ScmService::State() {
  SERVICE_STATUS status = {};
  return ::QueryServiceStatus(Open(SERVICE_QUERY_STATUS).get(), &status) ? status.dwCurrentState
                                                                         : 0;
}

bool ScmService::WaitFor(DWORD state, DWORD timeout_ms) {
  return WaitUntil(timeout_ms, [&] { return State() == state; });
}

bool ScmService::Exists() {
  return Open(SERVICE_QUERY_STATUS) || ::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
}

void ScmService::Remove() {
  service_.reset();  // the registration goes only once no handle remains
  if (!manager_) return;
  {
    const UniqueServiceHandle existing = Open(DELETE);
    if (!existing) return;
    if (SendStop()) WaitFor(SERVICE_STOPPED);
    ::DeleteService(existing.get());
  }
  WaitUntil(10000, [&] { return !Exists(); });
}

}  // namespace test
}  // namespace varnelo
