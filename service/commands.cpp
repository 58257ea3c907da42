#include "service/commands.h"

#include "service/core/core_launch.h"
#include "service/core/core_state.h"
#include "service/core/core_stop.h"
#include "service/core/status_commands.h"
#include "service/watchdog/proxy_watchdog.h"

namespace varnelo {

Commands::Commands(UniqueHandle stop_event, std::shared_ptr<TrackedCore> core,
                   std::shared_ptr<ProxyWatchdog> watchdog)
    : stop_event_(std::move(stop_event)), core_(std::move(core)), watchdog_(std::move(watchdog)) {
  TrackedCore& tracked = *core_;
  ProxyWatchdog& watched = *watchdog_;
  table_ = {
      {"ping", [](Reply& reply, const Caller&, const RequestMap&) { HandlePing(reply); }},
      {"status", [&tracked](Reply& reply, const Caller&,
                            const RequestMap&) { HandleStatus(reply, tracked); }},
      {"start_core",
       [&tracked](Reply& reply, const Caller& caller, const RequestMap& request) {
         HandleStartCore(reply, caller, request, tracked);
       }},
      {"stop_core",
       [&tracked](Reply& reply, const Caller&, const RequestMap& request) {
         HandleStopCore(reply, request, tracked);
       }},
      {"set_expected_proxy",
       [&watched](Reply& reply, const Caller& caller, const RequestMap& request) {
         watched.SetExpectedProxy(reply, caller, request);
       }},
      {"clear_watchdog", [&watched](Reply& reply, const Caller&,
                                    const RequestMap&) { watched.ClearWatchdog(reply); }},
  };
}

const CommandHandler* Commands::Find(const std::string& cmd) const {
  for (const auto& entry : table_) {
    if (cmd == entry.first) return &entry.second;
  }
  return nullptr;
}

void Commands::Answer(Reply& reply, const Caller& caller, const RequestMap& request,
                      const std::string& cmd) {
  const CommandHandler* handler = Find(cmd);
  if (handler == nullptr) {
    WriteErrorResponse(reply, kErrUnknownCmdPrefix + cmd, kCodeUnknownCmd);
    return;
  }
  std::unique_lock<std::mutex> lock(lock_);
  const std::uint64_t ticket = next_++;
  turn_changed_.wait(lock, [&] { return serving_ == ticket; });
  lock.unlock();
  // None starts once the service stops.
  if (::WaitForSingleObject(stop_event_.get(), 0) != WAIT_OBJECT_0)
    (*handler)(reply, caller, request);
  lock.lock();
  ++serving_;
  lock.unlock();
  turn_changed_.notify_all();
}

}  // namespace varnelo
