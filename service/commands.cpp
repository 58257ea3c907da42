#include "service/commands.h"

#include "service/core/core_launch.h"
#include "service/core/core_stop.h"
#include "service/core/status_commands.h"
#include "service/watchdog/proxy_watchdog.h"

namespace varnelo {

namespace {

struct CommandEntry {
  const char* name;
  CommandHandler handler;
};

const CommandEntry kCommands[] = {
    {"ping", HandlePing},
    {"status", HandleStatus},
    {"start_core", HandleStartCore},
    {"stop_core", HandleStopCore},
    {"set_expected_proxy", set_expected_proxy},
    {"clear_watchdog", clear_watchdog},
};

}  // namespace

CommandHandler FindCommandHandler(const std::string& cmd) {
  for (const CommandEntry& entry : kCommands) {
    if (cmd == entry.name) return entry.handler;
  }
  return nullptr;
}

void Commands::Answer(Reply& reply, const Caller& caller, const RequestMap& request,
                      const std::string& cmd) {
  const CommandHandler handler = FindCommandHandler(cmd);
  if (handler == nullptr) {
    WriteErrorResponse(reply, kErrUnknownCmdPrefix + cmd, kCodeUnknownCmd);
    return;
  }
  std::unique_lock<std::mutex> lock(lock_);
  const std::uint64_t ticket = next_++;
  turnChanged_.wait(lock, [&] { return serving_ == ticket; });
  lock.unlock();
  // None starts once the service stops.
  if (::WaitForSingleObject(stopEvent_.get(), 0) != WAIT_OBJECT_0) handler(reply, caller, request);
  lock.lock();
  ++serving_;
  lock.unlock();
  turnChanged_.notify_all();
}

}  // namespace varnelo
