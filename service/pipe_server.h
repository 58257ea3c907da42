// The named-pipe server: several instances listen and their clients are read and answered side
// by side, each within its own time limits, while the command handlers run one at a time.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "common/unique_resource.h"
#include "service/request.h"
#include "service/response.h"

namespace varnelo {

class Caller;

extern const wchar_t kPipeSddl[];

// Pipe instances served side by side. When every one is taken, the connection that has waited
// longest on its client gives way, so a crowd of stalling clients cannot lock the others out.
constexpr size_t kPipeInstances = 8;

// What PipeServerThread owns. The thread gets its own duplicate of the stop event, so the event
// stays valid for it even when the service has closed its handle after a bounded wait.
struct PipeServerArgs {
  UniqueHandle stopEvent;
};

// Thread procedure of the pipe side; takes ownership of a heap-allocated PipeServerArgs. Returns
// once the stop event is set and every connection has been let go.
DWORD WINAPI PipeServerThread(void* args);

// Judges the caller of one complete request that names `cmd` and runs its command, waiting for
// its turn among the handlers. Gives exactly one answer, or none when the stop event is set by
// the time its turn comes; returns whether the caller was trusted.
bool HandleCommand(Reply& reply, const Caller& caller, const RequestMap& request,
                   const std::string& cmd, HANDLE stopEvent);

// The handler for a command name (byte-exact, case-sensitive), or null.
CommandHandler FindCommandHandler(const std::string& cmd);

}  // namespace varnelo
