// Whether a caller's image path names the file that is actually running, free of Windows headers
// for native tests.
#pragma once

#include <cstdint>

namespace varnelo {

// A file's volume serial number and file index; `known` is false when it could not be read.
struct FileIdentity {
  bool known = false;
  std::uint32_t volume = 0;
  std::uint64_t index = 0;
};

enum class ImageMatch {
  kSameFile,  // the path names the mapped image: its signature speaks for the caller
  kUnknown,   // one of the two could not be opened or read
  kOtherFile  // the running file was renamed and something else took its name
};

ImageMatch MatchCallerImage(const FileIdentity& named, const FileIdentity& mapped);

}  // namespace varnelo
