// Which connection gives way when every pipe instance is taken. Free of Windows headers, so the
// choice is tested natively, with users that Wine (where every process is one user) cannot show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varnelo {

// Where a waiting connection stands, from the first to give way to the last.
enum class GiveWayRank {
  kRefused,      // its caller was refused, or it comes from a file whose callers were lately
  kUnjudged,     // nobody judges its caller yet (a silent client)
  kBeingJudged,  // its caller is being judged: it waits on the service, not on its client
  kTrusted,      // its caller is known to be trusted
};

// One instance as the choice sees it.
struct InstanceState {
  bool listening = false;  // no connection on it
  bool waiting = false;    // its connection waits on its client or on its caller's verdict
  bool gave_way = false;   // it has already been asked to give way
  GiveWayRank rank = GiveWayRank::kUnjudged;
  std::uint64_t waiting_since = 0;
  std::wstring user;  // the caller's account as SID text; empty when unknown
};

// The instance whose connection gives way now that `newcomer`'s connection has been made, or -1:
// none while an instance still listens, nor when no other connection waits. Of the waiting ones,
// the lowest rank goes first and, within a rank, the one that has waited longest. A newcomer
// whose user already holds more than half of the instances takes the room from that user's own
// connections when it can, so no one account, with a signed program in its hands, can keep the
// other accounts' callers out.
int ChooseGiveWay(const std::vector<InstanceState>& instances, std::size_t newcomer);

}  // namespace varnelo
