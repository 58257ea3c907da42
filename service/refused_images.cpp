#include "service/refused_images.h"

#include <algorithm>

namespace varnelo {

namespace {

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.volume == b.volume && a.index == b.index;
}

}  // namespace

void RefusedImages::Remember(const FileIdentity& image, std::uint64_t now) {
  if (!image.known) return;
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const Entry& entry) { return SameFile(entry.image, image); }),
                 entries_.end());
  if (entries_.size() >= kRefusedImagesKept) entries_.erase(entries_.begin());
  entries_.push_back({image, now});
}

bool RefusedImages::WasRefusedLately(const FileIdentity& image, std::uint64_t now) const {
  for (const Entry& entry : entries_) {
    if (SameFile(entry.image, image) && now - entry.refusedAt < kRefusedImageMemoryMs) return true;
  }
  return false;
}

}  // namespace varnelo
