#include "service/trust/refused_images.h"

#include <algorithm>

namespace varnelo {

namespace {

bool SameVersion(const FileVersion& a, const FileVersion& b) {
  return a.file.known && b.file.known && a.file.volume == b.file.volume &&
         a.file.index == b.file.index && a.size == b.size && a.last_write == b.last_write;
}

}  // namespace

void RefusedImages::Remember(const FileVersion& image, const std::wstring& path,
                             const std::string& reason, std::uint64_t now) {
  if (!image.file.known) return;
  entries_.erase(
      std::remove_if(entries_.begin(), entries_.end(),
                     [&](const Entry& entry) { return SameVersion(entry.image, image); }),
      entries_.end());
  if (entries_.size() >= kRefusedImagesKept) entries_.erase(entries_.begin());
  entries_.push_back({image, path, reason, now});
}

bool RefusedImages::PathRefusedLately(const std::wstring& path, std::uint64_t now) const {
  for (const Entry& entry : entries_) {
    if (!path.empty() && entry.path == path && now - entry.refused_at < kRefusedImageMemoryMs) {
      return true;
    }
  }
  return false;
}

std::string RefusedImages::RefusedLately(const FileVersion& image, std::uint64_t now) const {
  for (const Entry& entry : entries_) {
    if (SameVersion(entry.image, image) && now - entry.refused_at < kRefusedImageMemoryMs) {
      return entry.reason;
    }
  }
  return std::string();
}

}  // namespace varnelo
