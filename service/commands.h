// The commands the service answers: the table of their names and handlers, and the answer to one
// trusted caller's complete request. Adding a command is one row in the table and its handler.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/unique_resource.h"
#include "service/protocol/request.h"
#include "service/protocol/response.h"

namespace varnelo {

class Caller;
class ProxyWatchdog;
class TrackedCore;

// A command's handler: it gives at most one answer.
using CommandHandler =
    std::function<void(Reply& reply, const Caller& caller, const RequestMap& request)>;

// Runs the handlers of requests that the pipe side hands it, one at a time in the order their
// requests were complete, so no handler overlaps another and the tracked core, the watchdog and
// the log keep their rules.
class Commands {
 public:
  // Owns its own duplicate of the stop event, so it stays valid for as long as the pipe side,
  // which the stop may give up waiting for, holds the object; the same goes for the state.
  Commands(UniqueHandle stop_event, std::shared_ptr<TrackedCore> core,
           std::shared_ptr<ProxyWatchdog> watchdog);
  Commands(const Commands&) = delete;
  Commands& operator=(const Commands&) = delete;

  // Answers `request` of a trusted caller, which names `cmd`, once its turn has come: the
  // command's handler, or "unknown cmd". No answer when the service stops meanwhile.
  void Answer(Reply& reply, const Caller& caller, const RequestMap& request,
              const std::string& cmd);

 private:
  // The handler for a command name (byte-exact, case-sensitive), or null.
  const CommandHandler* Find(const std::string& cmd) const;

  const UniqueHandle stop_event_;
  const std::shared_ptr<TrackedCore> core_;
  const std::shared_ptr<ProxyWatchdog> watchdog_;
  std::vector<std::pair<std::string, CommandHandler>> table_;
  std::mutex lock_;
  std::condition_variable turn_changed_;
  std::uint64_t next_ = 0;     // the ticket of the next request to arrive
  std::uint64_t serving_ = 0;  // the ticket whose handler may run
};

}  // namespace varnelo
