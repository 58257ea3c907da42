#include "service/log_budget.h"

namespace varnelo {

UnauthenticatedLogBudget::Decision UnauthenticatedLogBudget::Admit(std::uint64_t now) {
  if (!started_ || now - windowStart_ >= kUnauthenticatedWindowMs) {
    started_ = true;
    windowStart_ = now;
    used_ = 0;
  }
  Decision decision;
  if (used_ >= kUnauthenticatedEventsPerWindow) {
    ++leftOut_;
    return decision;
  }
  ++used_;
  decision.log = true;
  decision.leftOut = leftOut_;
  leftOut_ = 0;
  return decision;
}

std::string LoggedCommand(const std::string& cmd) {
  if (cmd.size() <= kLoggedCommandBytes) return cmd;
  std::size_t cut = kLoggedCommandBytes;
  while (cut > 0 && (static_cast<unsigned char>(cmd[cut]) & 0xC0) == 0x80) --cut;
  return cmd.substr(0, cut) + "... (" + std::to_string(cmd.size()) + " bytes)";
}

}  // namespace varnelo
