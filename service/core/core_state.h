// The core the service launched: its process, the job the service keeps and its pid, in one
// object with its lock.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

#include "common/unique_resource.h"

namespace varnelo {

enum class CoreRunState { kNotTracked, kRunning, kExited };

// Handles are taken out by atomic exchange; whoever takes one owns and closes it. A short lock
// also covers "load and query" against a concurrent take by the stop sequence, so status never
// queries a handle that another thread is closing. What is still held when the object ends is
// closed then.
class TrackedCore {
 public:
  TrackedCore() = default;
  ~TrackedCore();
  TrackedCore(const TrackedCore&) = delete;
  TrackedCore& operator=(const TrackedCore&) = delete;

  // Records a launched core: process, then job, then pid; closes what was recorded before.
  void Store(UniqueHandle process, UniqueHandle job, DWORD pid);
  UniqueHandle TakeProcess();
  UniqueHandle TakeJob();
  DWORD TakePid();
  // Queries the tracked process under the lock; `pid` receives its pid when it runs.
  CoreRunState Query(DWORD* pid) const;

 private:
  mutable std::mutex take_lock_;  // held by takes and by queries of the process, never by callers
  std::atomic<HANDLE> process_{nullptr};
  std::atomic<HANDLE> job_{nullptr};
  std::atomic<DWORD> pid_{0};
};

}  // namespace varnelo
