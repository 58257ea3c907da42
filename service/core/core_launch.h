// start_core: launches VarneloCore.exe suspended in a kill-on-close job and hands the caller the
// core's output pipe and the job.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "service/protocol/request.h"
#include "service/protocol/response.h"

namespace varnelo {

class Caller;

class TrackedCore;

// start_core: the launched core is recorded in `tracked`.
void HandleStartCore(Reply& reply, const Caller& caller, const RequestMap& request,
                     TrackedCore& tracked);

// Duplicates `handle` into the caller's process, through the process handle the connection
// opened once. Returns its value there, or 0. `attempted` (optional) tells whether
// DuplicateHandle ran, which with DUPLICATE_CLOSE_SOURCE means the source handle is closed
// whatever the outcome.
std::uint64_t DupHandleToCaller(const Caller& caller, HANDLE handle, DWORD access, DWORD options,
                                const char* label, bool* attempted);

// Sets an environment variable of this process for the lifetime of the object, then restores
// the earlier value (or removes the variable when it had none).
class ScopedEnvVar {
 public:
  ScopedEnvVar(const wchar_t* name, const wchar_t* value);
  ~ScopedEnvVar();
  ScopedEnvVar(const ScopedEnvVar&) = delete;
  ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

 private:
  std::wstring name_;
  std::wstring saved_value_;
  bool had_value_ = false;
};

}  // namespace varnelo
