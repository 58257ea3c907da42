#include "service/caller_rules.h"

namespace varnelo {

ImageMatch MatchCallerImage(const FileIdentity& named, const FileIdentity& mapped) {
  if (!named.known || !mapped.known) return ImageMatch::kUnknown;
  return named.volume == mapped.volume && named.index == mapped.index ? ImageMatch::kSameFile
                                                                      : ImageMatch::kOtherFile;
}

}  // namespace varnelo
