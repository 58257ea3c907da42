// The image files whose callers were refused lately for their signature. A caller from such a
// file, unchanged since, is refused again without the file being read, and while it waits for that
// it is the first to give way: callers who reconnect as fast as they are refused, all from one
// file, then cost the service next to nothing and cannot crowd out a caller still being judged.
// Nothing is ever trusted from here. Free of Windows headers for native tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/trust/caller_rules.h"

namespace varnelo {

constexpr std::size_t kRefusedImagesKept = 32;
constexpr std::uint64_t kRefusedImageMemoryMs = 60000;

class RefusedImages {
 public:
  // A caller from `image`, named `path`, was refused for `reason` at tick `now`; the oldest entry
  // goes when full.
  void Remember(const FileVersion& image, const std::wstring& path, const std::string& reason,
                std::uint64_t now);
  // Why a caller from `image` was refused within the memory's time before `now`; empty when none.
  std::string RefusedLately(const FileVersion& image, std::uint64_t now) const;
  // Whether a caller from a file of that name was, in the same time: what decides which
  // connection gives way before its file has been looked at.
  bool PathRefusedLately(const std::wstring& path, std::uint64_t now) const;

 private:
  struct Entry {
    FileVersion image;
    std::wstring path;
    std::string reason;
    std::uint64_t refused_at;
  };
  std::vector<Entry> entries_;
};

}  // namespace varnelo
