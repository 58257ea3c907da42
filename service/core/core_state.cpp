#include "service/core/core_state.h"

#include <mutex>

namespace varnelo {

namespace {

// The one record of the launched core.
CoreState g_coreState;
std::mutex g_takeLock;  // held by takes and by queries of the process handle, never by callers
}  // namespace

UniqueHandle TakeCoreProcess() {
  std::lock_guard<std::mutex> lock(g_takeLock);
  return UniqueHandle(g_coreState.coreProcess.exchange(nullptr));
}

UniqueHandle TakeCoreJob() { return UniqueHandle(g_coreState.coreJob.exchange(nullptr)); }

DWORD TakeCorePid() { return g_coreState.corePid.exchange(0); }

void StoreCore(UniqueHandle process, UniqueHandle job, DWORD pid) {
  UniqueHandle previousProcess(g_coreState.coreProcess.exchange(process.release()));
  UniqueHandle previousJob(g_coreState.coreJob.exchange(job.release()));
  g_coreState.corePid.exchange(pid);
}

CoreRunState QueryTrackedCore(DWORD* pid) {
  std::lock_guard<std::mutex> lock(g_takeLock);
  const HANDLE process = g_coreState.coreProcess.load();
  if (process == nullptr) return CoreRunState::kNotTracked;
  // Not the exit code: a core may exit with 259, which reads as STILL_ACTIVE.
  if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
    if (pid != nullptr) *pid = g_coreState.corePid.load();
    return CoreRunState::kRunning;
  }
  return CoreRunState::kExited;
}

}  // namespace varnelo
