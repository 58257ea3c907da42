// One round of the log measurements, in a fresh process (rotation is tried at most once a
// minute per process): ServiceLog lines against a bare open-append-close in the same folder,
// taken in turns, then one line that rotates a full log.
// The log folder is %ProgramData%\Varnelo, as for the service; the caller sets ProgramData.
//   bench_log <lines>
// Prints "service_ms=<mean per line> bare_ms=<mean per line> rotate_ms=<one line>", or a
// reason and exit code 1 when a line did not reach its file or the rotation did not happen.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_clock.h"
#include "common/platform.h"
#include "common/unique_resource.h"
#include "service/log/log_line.h"
#include "service/log/service_log.h"

namespace {

using varnelo::UniqueHandle;

constexpr char kBareLine[] = "[2026-01-01 00:00:00.000] conn pid=1234 cmd=ping\r\n";

using varnelo::bench::Now;

void AppendBareLine(const std::wstring& path) {
  const UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  ::WriteFile(file.get(), kBareLine, sizeof(kBareLine) - 1, &written, nullptr);
}

ULONGLONG FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Grows the file to the rotation size without writing 5 MiB (the rest reads as zeros).
bool GrowTo(const std::wstring& path, ULONGLONG size) {
  const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  return file && ::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) &&
         ::SetEndOfFile(file.get());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int lines = argc > 1 ? std::max(1, _wtoi(argv[1])) : 20;
  bool present = false;
  const std::wstring folder =
      varnelo::ReadEnvironmentVariable(L"ProgramData", &present) + L"\\Varnelo\\";
  const std::wstring log_path = folder + L"service.log";
  const std::wstring bare_path = folder + L"bare.log";

  varnelo::ServiceLog("bench: warm-up");  // makes and judges the folder, as a service start does
  const ULONGLONG before = FileSize(log_path);
  if (before == 0) {
    std::printf("no line reached %ls\n", log_path.c_str());
    return 1;
  }
  double service_ms = 0, bare_ms = 0;
  for (int i = 0; i < lines; ++i) {
    double start = Now();
    varnelo::ServiceLog("conn pid=%lu cmd=%s", 1234ul, "ping");
    service_ms += Now() - start;
    start = Now();
    AppendBareLine(bare_path);
    bare_ms += Now() - start;
  }
  if (FileSize(log_path) <= before || FileSize(bare_path) == 0) {
    std::printf("the timed lines did not reach their files\n");
    return 1;
  }

  if (!GrowTo(log_path, varnelo::kLogRotateSize)) {
    std::printf("could not grow %ls\n", log_path.c_str());
    return 1;
  }
  const double start = Now();
  varnelo::ServiceLog("conn pid=%lu cmd=%s", 1234ul, "ping");
  const double rotate_ms = Now() - start;
  if (FileSize(log_path + L".1") < varnelo::kLogRotateSize || FileSize(log_path) == 0 ||
      FileSize(log_path) >= varnelo::kLogRotateSize) {
    std::printf("the log did not rotate\n");
    return 1;
  }
  std::printf("service_ms=%.4f bare_ms=%.4f rotate_ms=%.4f\n", service_ms / lines, bare_ms / lines,
              rotate_ms);
  return 0;
}
