// A time limit on the blocking calls a pipe client can stall: reading its request, taking its
// answer. The pipe handle stays synchronous; the limit cancels its I/O from a timer instead.
#pragma once

#include <windows.h>

#include <atomic>

namespace varnelo {

class PipeDeadline {
 public:
  // From `limit_ms` on, cancels every I/O on `pipe` and keeps doing so every few milliseconds,
  // so a call that starts just after one cancel is caught by the next.
  PipeDeadline(HANDLE pipe, DWORD limit_ms);
  ~PipeDeadline();
  PipeDeadline(const PipeDeadline&) = delete;
  PipeDeadline& operator=(const PipeDeadline&) = delete;

  // Reaches the limit now (a connection that has to make room for another, or a stop).
  void Expire();
  // Ends the limit; returns once no cancel can still come. No Expire may run at the same time.
  void Stop();
  // Whether the limit was reached. Final once Stop has returned.
  bool expired() const { return expired_.load(); }

 private:
  static void CALLBACK OnTimer(void* self, BOOLEAN timer_fired);

  HANDLE pipe_;
  HANDLE timer_ = nullptr;
  std::atomic<bool> expired_{false};
};

}  // namespace varnelo
