#include "service/core/core_state.h"

namespace varnelo {

TrackedCore::~TrackedCore() {
  TakeProcess();
  TakeJob();
}

UniqueHandle TrackedCore::TakeProcess() {
  const std::lock_guard<std::mutex> lock(take_lock_);
  return UniqueHandle(process_.exchange(nullptr));
}

UniqueHandle TrackedCore::TakeJob() { return UniqueHandle(job_.exchange(nullptr)); }

DWORD TrackedCore::TakePid() { return pid_.exchange(0); }

void TrackedCore::Store(UniqueHandle process, UniqueHandle job, DWORD pid) {
  const UniqueHandle previous_process(process_.exchange(process.release()));
  const UniqueHandle previous_job(job_.exchange(job.release()));
  pid_.exchange(pid);
}

CoreRunState TrackedCore::Query(DWORD* pid) const {
  const std::lock_guard<std::mutex> lock(take_lock_);
  const HANDLE process = process_.load();
  if (process == nullptr) return CoreRunState::kNotTracked;
  // Not the exit code: a core may exit with 259, which reads as STILL_ACTIVE.
  if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
    if (pid != nullptr) *pid = pid_.load();
    return CoreRunState::kRunning;
  }
  return CoreRunState::kExited;
}

}  // namespace varnelo
