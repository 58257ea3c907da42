// How much a caller that nobody has authenticated may make the service write into its log.
// Free of Windows headers for native tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace varnelo {

// Every connection that names a command leaves its "conn" line, but a flood of unsigned or
// stalling callers must not rotate the log's history away: their lines are admitted a few per
// minute, and one line says how many were left out. At the cut length below, a whole day of
// flood stays under one rotation.
constexpr unsigned kUnauthenticatedEventsPerWindow = 10;
constexpr std::uint64_t kUnauthenticatedWindowMs = 60000;
// Bytes of a command name written into the log; longer ones are cut with their length noted.
constexpr std::size_t kLoggedCommandBytes = 32;

class UnauthenticatedLogBudget {
 public:
  struct Decision {
    bool log = false;
    std::uint64_t leftOut = 0;  // when logging: events left out since the last report, to say first
  };
  // One event (a rejected request or a connection dropped before it was judged) at tick `now`.
  Decision Admit(std::uint64_t now);

 private:
  bool started_ = false;
  std::uint64_t windowStart_ = 0;
  unsigned used_ = 0;
  std::uint64_t leftOut_ = 0;
};

// The command as the "conn" line shows it: whole when short, else its first bytes (never half a
// UTF-8 character) followed by "... (N bytes)".
std::string LoggedCommand(const std::string& cmd);

}  // namespace varnelo
