// Stand-in for the proxy core, VarneloCore.exe, for tests and the demo.
// Creates the -d directory, reads the -f config, reports what it was started with on standard
// output, then writes a line to standard output and one to standard error every 200 ms until it
// is ended. A config line "exit_after=N" makes it end by itself after N rounds, with exit code 3
// or the one a line "exit_code=N" gives.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <string>

// As UTF-8, so a test sees a non-ASCII path whole (printf's "%ls" stops at the first one).
std::string Utf8(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(size > 0 ? size : 0, '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                          nullptr, nullptr);
  }
  return bytes;
}

int wmain(int argc, wchar_t** argv) {
  std::wstring data_dir, config_path;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"-d") == 0)
      data_dir = argv[++i];
    else if (std::wcscmp(argv[i], L"-f") == 0)
      config_path = argv[++i];
  }
  wchar_t skip[64] = L"(unset)";
  ::GetEnvironmentVariableW(L"SKIP_SAFE_PATH_CHECK", skip, 64);
  std::printf("SKIP_SAFE_PATH_CHECK=%s\n", Utf8(skip).c_str());
  std::printf("cmdline=%s\n", Utf8(::GetCommandLineW()).c_str());
  std::printf("data_dir=%s\nconfig=%s\n", Utf8(data_dir).c_str(), Utf8(config_path).c_str());
  if (!data_dir.empty()) ::CreateDirectoryW(data_dir.c_str(), nullptr);

  long exit_after = -1;
  unsigned long exit_code = 3;
  std::ifstream config(config_path.c_str());
  std::string line;
  while (std::getline(config, line)) {
    if (line.rfind("exit_after=", 0) == 0) exit_after = std::strtol(line.c_str() + 11, nullptr, 10);
    if (line.rfind("exit_code=", 0) == 0) exit_code = std::strtoul(line.c_str() + 10, nullptr, 10);
  }
  std::printf("config %s\n", config.is_open() ? "read" : "missing");
  std::fflush(stdout);

  for (long round = 1;; ++round) {
    std::printf("tick %ld\n", round);
    std::fflush(stdout);
    std::fprintf(stderr, "stderr tick %ld\n", round);
    std::fflush(stderr);
    if (exit_after >= 0 && round >= exit_after) return static_cast<int>(exit_code);
    ::Sleep(200);
  }
}
