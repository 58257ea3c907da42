#include "service/trust/caller_rules.h"

#include "common/ascii.h"

namespace varnelo {

ImageMatch MatchCallerImage(const FileIdentity& named, const FileIdentity& mapped) {
  if (!named.known || !mapped.known) return ImageMatch::kUnknown;
  return named.volume == mapped.volume && named.index == mapped.index ? ImageMatch::kSameFile
                                                                      : ImageMatch::kOtherFile;
}

bool IsCreatedWhileConnecting(std::uint64_t created, std::uint64_t connected_at,
                              std::uint64_t opened_at) {
  return created > connected_at && created <= opened_at;
}

namespace {

// Devices of local volumes; each is followed by its number and the path on it.
const wchar_t* const kLocalVolumeDevices[] = {L"\\Device\\HarddiskVolume", L"\\Device\\CdRom"};
// Volumes of dynamic disks: a disk group, then "Volume" and its number, then the path on it.
constexpr wchar_t kDynamicVolumes[] = L"\\Device\\HarddiskDmVolumes\\";
constexpr wchar_t kDynamicVolumeName[] = L"Volume";

// Whether `path` at `at` holds a number followed by a separator.
bool NumberThenSeparator(const std::wstring& path, size_t at) {
  const size_t digits = at;
  while (at < path.size() && path[at] >= L'0' && path[at] <= L'9') ++at;
  return at > digits && at < path.size() && path[at] == L'\\';
}

bool IsOnDynamicVolume(const std::wstring& path) {
  const std::wstring prefix = kDynamicVolumes;
  if (!StartsWithIgnoringAsciiCase(path, prefix)) return false;
  const size_t group = prefix.size();
  const size_t separator = path.find(L'\\', group);
  if (separator == std::wstring::npos || separator == group) return false;
  const std::wstring volume = path.substr(separator + 1);
  return StartsWithIgnoringAsciiCase(volume, kDynamicVolumeName) &&
         NumberThenSeparator(volume, std::wstring(kDynamicVolumeName).size());
}

}  // namespace

bool IsOnLocalVolume(const std::wstring& native_image_path) {
  for (const wchar_t* device : kLocalVolumeDevices) {
    const std::wstring prefix = device;
    if (StartsWithIgnoringAsciiCase(native_image_path, prefix)) {
      return NumberThenSeparator(native_image_path, prefix.size());
    }
  }
  return IsOnDynamicVolume(native_image_path);
}

}  // namespace varnelo
