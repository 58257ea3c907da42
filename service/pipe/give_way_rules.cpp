#include "service/pipe/give_way_rules.h"

namespace varnelo {

namespace {

// Whether `candidate` gives way before `chosen`.
bool GoesFirst(const InstanceState& candidate, const InstanceState& chosen) {
  if (candidate.rank != chosen.rank) return candidate.rank < chosen.rank;
  return candidate.waiting_since < chosen.waiting_since;
}

}  // namespace

int ChooseGiveWay(const std::vector<InstanceState>& instances, std::size_t newcomer) {
  const std::wstring& user = instances.at(newcomer).user;
  std::size_t held = 0;
  for (const InstanceState& instance : instances) {
    if (instance.listening) return -1;
    if (!user.empty() && instance.user == user) ++held;
  }
  const bool over_share = 2 * held > instances.size();
  int chosen = -1, chosen_own = -1;
  for (std::size_t i = 0; i < instances.size(); ++i) {
    const InstanceState& instance = instances[i];
    if (i == newcomer || !instance.waiting || instance.gave_way) continue;
    if (chosen < 0 || GoesFirst(instance, instances[chosen])) chosen = static_cast<int>(i);
    if (over_share && instance.user == user &&
        (chosen_own < 0 || GoesFirst(instance, instances[chosen_own]))) {
      chosen_own = static_cast<int>(i);
    }
  }
  return chosen_own >= 0 ? chosen_own : chosen;
}

}  // namespace varnelo
