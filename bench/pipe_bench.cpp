// Round-trip cost of one request through the console-mode service under the current platform:
// a request answered before the caller check (missing cmd), ping (signature check of the caller
// on every connection, then the capability keys), status, and arming and disarming the proxy
// watchdog (caller opened, its token read, the disable flag read).
// Usage: pipe_bench [rounds]   (prints one line per request kind: median, p95, max in ms)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/win/harness.h"
#include "tools/service_client.h"

namespace {

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Measure(const char* name, const std::string& request, int rounds) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  std::vector<double> samples;
  std::string response;
  for (int i = 0; i < rounds; ++i) {
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    if (!varnelo::ExchangeWithService(request, &response)) {
      std::printf("%s: no connection\n", name);
      return;
    }
    ::QueryPerformanceCounter(&end);
    samples.push_back(Milliseconds(start, end, frequency));
  }
  std::sort(samples.begin(), samples.end());
  std::printf("%-12s rounds=%d median=%.2f ms p95=%.2f ms max=%.2f ms\n", name, rounds,
              samples[samples.size() / 2], samples[samples.size() * 95 / 100], samples.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  varnelo::test::ConsoleService service(varnelo::test::BinDir() + L"release\\VarneloService.exe");
  if (!service.ready()) {
    std::printf("service did not start\n");
    return 1;
  }
  Measure("missing cmd", "a=1\n\n", rounds);
  Measure("ping", "cmd=ping\n\n", rounds);
  Measure("status", "cmd=status\n\n", rounds);
  Measure("arm", "cmd=set_expected_proxy\nproxy=127.0.0.1:11719\nreadback=127.0.0.1:11719\n\n", rounds);
  Measure("disarm", "cmd=clear_watchdog\n\n", rounds);
  return 0;
}
