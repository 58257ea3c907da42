#include "service/caller_rules.h"

#include "common/ascii.h"

namespace varnelo {

ImageMatch MatchCallerImage(const FileIdentity& named, const FileIdentity& mapped) {
  if (!named.known || !mapped.known) return ImageMatch::kUnknown;
  return named.volume == mapped.volume && named.index == mapped.index ? ImageMatch::kSameFile
                                                                      : ImageMatch::kOtherFile;
}

}  // namespace varnelo

namespace varnelo {

namespace {

// Devices of local volumes; each is followed by its number and the path on it.
const wchar_t* const kLocalVolumeDevices[] = {L"\\Device\\HarddiskVolume", L"\\Device\\CdRom"};

}  // namespace

bool IsOnLocalVolume(const std::wstring& nativeImagePath) {
  for (const wchar_t* device : kLocalVolumeDevices) {
    const std::wstring prefix = device;
    if (!StartsWithIgnoringAsciiCase(nativeImagePath, prefix)) continue;
    size_t at = prefix.size();
    const size_t digits = at;
    while (at < nativeImagePath.size() && nativeImagePath[at] >= L'0' &&
           nativeImagePath[at] <= L'9')
      ++at;
    return at > digits && at < nativeImagePath.size() && nativeImagePath[at] == L'\\';
  }
  return false;
}

}  // namespace varnelo
