// How much callers that nobody has authenticated may make the service write into its log.
// Free of Windows headers for native tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace varnelo {

// Every connection that names a command leaves its "conn" line, but a flood of unsigned or
// stalling callers must not rotate the log's history away. Each kind of event (each refusal
// reason, and connections dropped before they were trusted) has a budget of its own, so a flood
// of one kind cannot hide another; the events left out are counted, and the count is written when
// its kind's window ends. At the cut length below, a whole day of a flood of every kind at once
// stays under one rotation.
constexpr unsigned kUnauthenticatedEventsPerWindow = 10;
constexpr std::uint64_t kUnauthenticatedWindowMs = 900000;
// Kinds beyond this many share one budget, named kOtherKind.
constexpr std::size_t kUnauthenticatedKinds = 12;
extern const char kOtherKind[];
// Bytes of a command name written into the log; longer ones are cut with their length noted.
constexpr std::size_t kLoggedCommandBytes = 32;

class UnauthenticatedLogBudget {
 public:
  // Events of one kind left out in a window that has ended.
  struct LeftOut {
    std::string kind;
    std::uint64_t count;
  };
  // One event of `kind` at tick `now`: whether its lines are written. When the kind's previous
  // window has ended with events left out, that count is added to `ended` first.
  bool Admit(const std::string& kind, std::uint64_t now, std::vector<LeftOut>* ended);
  // The counts of every window that has ended by `now` with events left out (of every window,
  // ended or not, when `all`, as at a stop); each is reported once.
  std::vector<LeftOut> TakeEnded(std::uint64_t now, bool all);

 private:
  struct Window {
    std::uint64_t start = 0;
    unsigned used = 0;
    std::uint64_t left_out = 0;
  };
  std::map<std::string, Window> windows_;
};

// The command as the "conn" line shows it: whole when short, else its first bytes (never half a
// UTF-8 character) followed by "... (N bytes)". A NUL byte is shown as \x00, as the log shows other
// control characters, so nothing after it is lost from the line.
std::string LoggedCommand(const std::string& cmd);

}  // namespace varnelo
