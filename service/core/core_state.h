// CoreState: the one record of the core the service launched.
#pragma once

#include <windows.h>

#include <atomic>

#include "common/unique_resource.h"

namespace varnelo {

// Handles are taken out by atomic exchange; whoever takes one owns and closes it. A short lock
// also covers "load and query" against a concurrent take by the stop sequence, so status never
// queries a handle that another thread is closing.
struct CoreState {
  std::atomic<HANDLE> coreProcess{nullptr};
  std::atomic<HANDLE> coreJob{nullptr};
  std::atomic<DWORD> corePid{0};
};

UniqueHandle TakeCoreProcess();
UniqueHandle TakeCoreJob();
DWORD TakeCorePid();

// Publishes a launched core: process, then job, then pid.
void StoreCore(UniqueHandle process, UniqueHandle job, DWORD pid);

enum class CoreRunState { kNotTracked, kRunning, kExited };

// Queries the tracked process under the take lock; `pid` receives corePid when running.
CoreRunState QueryTrackedCore(DWORD* pid);

}  // namespace varnelo
