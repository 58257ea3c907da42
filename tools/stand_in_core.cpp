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

int wmain(int argc, wchar_t** argv) {
  std::wstring dataDir, configPath;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"-d") == 0) dataDir = argv[++i];
    else if (std::wcscmp(argv[i], L"-f") == 0) configPath = argv[++i];
  }
  wchar_t skip[64] = L"(unset)";
  ::GetEnvironmentVariableW(L"SKIP_SAFE_PATH_CHECK", skip, 64);
  std::printf("SKIP_SAFE_PATH_CHECK=%ls\n", skip);
  std::printf("cmdline=%ls\n", ::GetCommandLineW());
  std::printf("data_dir=%ls\nconfig=%ls\n", dataDir.c_str(), configPath.c_str());
  if (!dataDir.empty()) ::CreateDirectoryW(dataDir.c_str(), nullptr);

  long exitAfter = -1;
  unsigned long exitCode = 3;
  std::ifstream config(configPath.c_str());
  std::string line;
  while (std::getline(config, line)) {
    if (line.rfind("exit_after=", 0) == 0) exitAfter = std::strtol(line.c_str() + 11, nullptr, 10);
    if (line.rfind("exit_code=", 0) == 0) exitCode = std::strtoul(line.c_str() + 10, nullptr, 10);
  }
  std::printf("config %s\n", config.is_open() ? "read" : "missing");
  std::fflush(stdout);

  for (long round = 1;; ++round) {
    std::printf("tick %ld\n", round);
    std::fflush(stdout);
    std::fprintf(stderr, "stderr tick %ld\n", round);
    std::fflush(stderr);
    if (exitAfter >= 0 && round >= exitAfter) return static_cast<int>(exitCode);
    ::Sleep(200);
  }
}
