// The named-pipe server: several instances listen and their clients are read and answered side
// by side, each within its own time limits, while the command handlers run one at a time.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "common/unique_resource.h"
#include "service/protocol/request.h"
#include "service/protocol/response.h"

namespace varnelo {

extern const wchar_t kPipeSddl[];

// Pipe instances served side by side, and the most the name may have: the first instance fixes
// that limit for every instance of the name, so while the service runs nobody can add one of
// their own. When every instance is taken, a connection that waits on its client gives way (one
// not known to be trusted first), so a crowd of stalling clients cannot lock the others out.
constexpr size_t kPipeInstances = 8;

// What PipeServerThread owns. The thread gets its own duplicate of the stop event, so the event
// stays valid for it even when the service has closed its handle after a bounded wait.
struct PipeServerArgs {
  UniqueHandle stopEvent;
};

// Thread procedure of the pipe side; takes ownership of a heap-allocated PipeServerArgs. Returns
// once the stop event is set and every connection has been let go; a caller check still running
// then is not waited for.
DWORD WINAPI PipeServerThread(void* args);

// The handler for a command name (byte-exact, case-sensitive), or null.
CommandHandler FindCommandHandler(const std::string& cmd);

}  // namespace varnelo
