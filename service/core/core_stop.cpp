#include "service/core/core_stop.h"

#include "common/process_list.h"
#include "common/unique_resource.h"
#include "service/core/core_rules.h"
#include "service/core/core_state.h"
#include "service/log/service_log.h"
#include "service/names.h"
#include "service/protocol/response.h"
#include "service/trust/enforcement.h"

namespace varnelo {

namespace {

constexpr DWORD kOrphanWaitMs = 2000;
constexpr DWORD kServiceStopCoreWaitMs = 3000;

// Ends the core: through the job when the service kept it, else the process alone.
// Returns the branch for the log.
const char* TerminateCore(const UniqueHandle& process, const UniqueHandle& job, DWORD wait_ms) {
  if (job) {
    ::TerminateJobObject(job.get(), 0);
  } else {
    ::TerminateProcess(process.get(), 0);
  }
  ::WaitForSingleObject(process.get(), wait_ms);
  return job ? "job" : "process";
}

}  // namespace

void HandleStopCore(Reply& reply, const RequestMap& request, TrackedCore& core) {
  UniqueHandle process = core.TakeProcess();
  UniqueHandle job = core.TakeJob();
  core.TakePid();

  ResponseMap response{{"ok", "1"}};
  if (!process) {
    response["was_running"] = "0";
  } else {
    const auto timeout = request.find("timeout_ms");
    const DWORD wait_ms = timeout == request.end()
                              ? kDefaultStopTimeoutMs
                              : static_cast<DWORD>(ParseTimeoutMs(timeout->second));
    const char* via = TerminateCore(process, job, wait_ms);
    process.reset();  // process before job, as the job may be the last thing holding the core
    job.reset();
    ServiceLog("stop_core OK (via=%s)", via);
    response["was_running"] = "1";
  }
  AddCapabilityKeys(response);
  WriteResponse(reply, response);
}

void EndTrackedCore(TrackedCore& core) {
  UniqueHandle process = core.TakeProcess();
  UniqueHandle job = core.TakeJob();
  if (process) TerminateCore(process, job, kServiceStopCoreWaitMs);
}

void KillOrphanCores() {
  const int killed = EndProcessesNamed(kCoreFileName, kOrphanWaitMs);
  if (killed > 0) ServiceLog("orphan cleanup: killed %d VarneloCore.exe instance(s)", killed);
}

}  // namespace varnelo
