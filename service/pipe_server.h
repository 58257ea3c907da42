// The named-pipe server: one instance at a time, one request per connection.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/unique_resource.h"
#include "service/request.h"

namespace varnelo {

class Caller;

extern const wchar_t kPipeName[];
extern const wchar_t kPipeSddl[];

// What PipeServerThread owns. The thread gets its own duplicate of the stop event, so the event
// stays valid for it even when the service has closed its handle after a bounded wait.
struct PipeServerArgs {
  UniqueHandle stopEvent;
};

// Thread procedure; takes ownership of a heap-allocated PipeServerArgs.
DWORD WINAPI PipeServerThread(void* args);

void HandleConnection(HANDLE pipe);

void WriteResponse(HANDLE pipe, const ResponseMap& response);
void WriteErrorResponse(HANDLE pipe, const std::string& message, int32_t code);

// Every handler gets the connection's caller, its process opened once for the whole request.
using CommandHandler = void (*)(HANDLE pipe, const Caller& caller, const RequestMap& request);

// The handler for a command name (byte-exact, case-sensitive), or null.
CommandHandler FindCommandHandler(const std::string& cmd);

}  // namespace varnelo
