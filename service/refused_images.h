// The image files whose callers were refused lately. A verdict is never taken from here: every
// connection's caller is judged afresh. It only decides which connection gives way when every
// instance is busy, so that callers who reconnect as fast as they are refused, all from one file,
// make room for each other rather than for a connection still being judged. Free of Windows
// headers for native tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "service/caller_rules.h"

namespace varnelo {

constexpr std::size_t kRefusedImagesKept = 32;
constexpr std::uint64_t kRefusedImageMemoryMs = 60000;

class RefusedImages {
 public:
  // The file `image` had a caller refused at tick `now`; the oldest entry goes when full.
  void Remember(const FileIdentity& image, std::uint64_t now);
  // Whether `image` had a caller refused within the memory's time before `now`.
  bool WasRefusedLately(const FileIdentity& image, std::uint64_t now) const;

 private:
  struct Entry {
    FileIdentity image;
    std::uint64_t refusedAt;
  };
  std::vector<Entry> entries_;
};

}  // namespace varnelo
