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

// A file as it is now: which file, its size and its last write, so that a file rewritten in place
// is another version.
struct FileVersion {
  FileIdentity file;
  std::uint64_t size = 0;
  std::uint64_t last_write = 0;
};

enum class ImageMatch {
  kSameFile,  // the path names the mapped image: its signature speaks for the caller
  kUnknown,   // one of the two could not be opened or read
  kOtherFile  // the running file was renamed and something else took its name
};

ImageMatch MatchCallerImage(const FileIdentity& named, const FileIdentity& mapped);

// Whether the process a connection's pid led to was created between the connection being taken
// (`connected_at`) and the process being opened (`opened_at`): then the opener had already gone and
// its pid was taken by another process. Once opened, the process is held and its pid cannot pass
// on, so nothing created later counts; a legitimate client whose creation time lies after the
// open (the clock was set back meanwhile) is not refused. Times in any one unit, such as FILETIME
// ticks.
bool IsCreatedWhileConnecting(std::uint64_t created, std::uint64_t connected_at,
                              std::uint64_t opened_at);

// Whether a caller's image, named by its native path ("\Device\HarddiskVolume3\...", or
// "\Device\HarddiskDmVolumes\<group>\Volume1\..." on a dynamic disk), lies on a local disk. Reading
// an image on a share (\Device\Mup, a redirector, a drive letter the caller's session maps to
// either) would make LocalSystem connect to the host the caller chose with the machine's own
// credentials; an empty or unknown device counts as not local.
bool IsOnLocalVolume(const std::wstring& native_image_path);

}  // namespace varnelo
