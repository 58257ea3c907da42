#include "service/pipe/pipe_deadline.h"

namespace varnelo {

namespace {
constexpr DWORD kRecancelIntervalMs = 10;
}  // namespace

PipeDeadline::PipeDeadline(HANDLE pipe, DWORD limit_ms) : pipe_(pipe) {
  // Without a timer there is no limit; the connection is served as before.
  if (!::CreateTimerQueueTimer(&timer_, nullptr, OnTimer, this, limit_ms, kRecancelIntervalMs,
                               WT_EXECUTEDEFAULT)) {
    timer_ = nullptr;
  }
}

PipeDeadline::~PipeDeadline() { Stop(); }

void PipeDeadline::Expire() {
  if (timer_ == nullptr) {
    expired_.store(true);
    ::CancelIoEx(pipe_, nullptr);
    return;
  }
  ::ChangeTimerQueueTimer(nullptr, timer_, 0, kRecancelIntervalMs);
}

void PipeDeadline::Stop() {
  if (timer_ == nullptr) return;
  // INVALID_HANDLE_VALUE: wait for a callback that is running, so none outlives this object.
  ::DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
  timer_ = nullptr;
}

void CALLBACK PipeDeadline::OnTimer(void* self, BOOLEAN /*timerFired*/) {
  PipeDeadline* deadline = static_cast<PipeDeadline*>(self);
  deadline->expired_.store(true);
  // Synchronous calls of the pipe thread on this handle fail with ERROR_OPERATION_ABORTED.
  ::CancelIoEx(deadline->pipe_, nullptr);
}

}  // namespace varnelo
