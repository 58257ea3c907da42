#include "service/log/log_budget.h"

#include <iterator>

namespace varnelo {

const char kOtherKind[] = "other";

bool UnauthenticatedLogBudget::Admit(const std::string& kind, std::uint64_t now,
                                     std::vector<LeftOut>* ended) {
  const bool known = windows_.count(kind) != 0 || windows_.size() < kUnauthenticatedKinds;
  const auto inserted = windows_.emplace(known ? kind : kOtherKind, Window());
  Window& window = inserted.first->second;
  if (inserted.second || now - window.start >= kUnauthenticatedWindowMs) {
    if (window.left_out != 0) ended->push_back({inserted.first->first, window.left_out});
    window = Window();
    window.start = now;
  }
  if (window.used >= kUnauthenticatedEventsPerWindow) {
    ++window.left_out;
    return false;
  }
  ++window.used;
  return true;
}

std::vector<UnauthenticatedLogBudget::LeftOut> UnauthenticatedLogBudget::TakeEnded(
    std::uint64_t now, bool all) {
  std::vector<LeftOut> ended;
  for (auto it = windows_.begin(); it != windows_.end();) {
    const bool over = now - it->second.start >= kUnauthenticatedWindowMs;
    if ((all || over) && it->second.left_out != 0) {
      ended.push_back({it->first, it->second.left_out});
      it->second.left_out = 0;
    }
    // A window that is over holds nothing more to say; its kind starts afresh.
    it = over ? windows_.erase(it) : std::next(it);
  }
  return ended;
}

std::string LoggedCommand(const std::string& cmd) {
  std::size_t cut = cmd.size();
  if (cut > kLoggedCommandBytes) {
    cut = kLoggedCommandBytes;
    while (cut > 0 && (static_cast<unsigned char>(cmd[cut]) & 0xC0) == 0x80) --cut;
  }
  std::string shown;
  for (std::size_t i = 0; i < cut; ++i) {
    if (cmd[i] == '\0') {
      shown += "\\x00";
    } else {
      shown += cmd[i];
    }
  }
  if (cut < cmd.size()) shown += "... (" + std::to_string(cmd.size()) + " bytes)";
  return shown;
}

}  // namespace varnelo
