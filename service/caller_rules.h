// Whether a caller's image path names the file that is actually running, free of Windows headers
// for native tests.
#pragma once

#include <cstdint>
#include <string>

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

// Whether a caller's image, named by its native path ("\Device\HarddiskVolume3\..."), lies on
// a local disk. Reading an image on a share (\Device\Mup, a redirector, a drive letter the
// caller's session maps to either) would make LocalSystem connect to the host the caller chose
// with the machine's own credentials; an empty or unknown device counts as not local.
bool IsOnLocalVolume(const std::wstring& nativeImagePath);

}  // namespace varnelo
