// The named-pipe server: several instances listen and their clients are read and answered side
// by side, each within its own time limits, while the command handlers run one at a time.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>

#include "common/unique_resource.h"
#include "service/protocol/request.h"
#include "service/protocol/response.h"

namespace varnelo {

class Caller;

extern const wchar_t kPipeSddl[];

// Pipe instances served side by side, and the most the name may have: the first instance fixes
// that limit for every instance of the name, so while the service runs nobody can add one of
// their own. When every instance is taken, a connection that waits on its client gives way (one
// not known to be trusted first), so a crowd of stalling clients cannot lock the others out.
constexpr size_t kPipeInstances = 8;

// Answers the complete request of a trusted caller that names `cmd`: at most one answer, none
// when the service stops meanwhile. Called from the connections' threads side by side.
using RequestAnswer = std::function<void(Reply& reply, const Caller& caller,
                                         const RequestMap& request, const std::string& cmd)>;

// What PipeServerThread owns. The thread gets its own duplicate of the stop event, so the event
// stays valid for it even when the service has closed its handle after a bounded wait; the same
// goes for what the answer holds.
struct PipeServerArgs {
  UniqueHandle stop_event;
  RequestAnswer answer;
};

// Thread procedure of the pipe side: the transport. It frames and parses requests, answers the
// ones it can itself ("request too large", "missing cmd"), has each caller judged, refuses the
// untrusted, and hands every other complete request to the answer. Takes ownership of a
// heap-allocated PipeServerArgs. Returns once the stop event is set and every connection has been
// let go; a caller check still running then is not waited for.
DWORD WINAPI PipeServerThread(void* args);

}  // namespace varnelo
