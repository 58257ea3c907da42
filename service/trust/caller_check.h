// The signature check of one connection's caller, run on a thread of its own. A check reads the
// caller's whole image file and may take seconds on a large one, so the connection waits for its
// verdict only within its own time limit and while it is not asked to give way, and the stop
// never waits for it.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "common/unique_resource.h"
#include "service/trust/caller_rules.h"
#include "service/trust/refused_images.h"

namespace varnelo {

class Caller;

// What every caller check shares: how many may run at once, those whose connection no longer
// waits for them included, and which image files had callers refused lately.
class CallerChecks {
 public:
  explicit CallerChecks(LONG checks);
  // Signalled while a check may start; a wait on it that succeeds takes that place.
  HANDLE available() const { return semaphore_.get(); }
  void Return() const;
  // Why a caller from `image` was refused lately for its signature; empty when it was not.
  std::string RefusedLately(const FileVersion& image) const;
  // Whether a caller whose image bore this native path was.
  bool PathRefusedLately(const std::wstring& native_image) const;

 private:
  friend class CallerCheck;
  void RememberRefused(const FileVersion& image, const std::wstring& native_image,
                       const std::string& reason);

  UniqueHandle semaphore_;
  mutable std::mutex lock_;
  RefusedImages refused_;
};

class CallerCheck {
 public:
  enum class Verdict { kPending, kTrusted, kRefused };

  // Starts judging `caller` on a thread of its own. The caller of Start has taken a place of
  // `checks`, which the check returns when it ends (also when no thread could be started: the
  // verdict is then a refusal). A refusal of the image file is remembered there, whether or not
  // the connection still waits for it.
  static std::shared_ptr<CallerCheck> Start(std::shared_ptr<const Caller> caller,
                                            std::shared_ptr<CallerChecks> checks);

  Verdict verdict() const { return verdict_.load(); }
  // Why the caller was refused; valid once the verdict is kRefused.
  const std::string& reason() const { return reason_; }
  // Signalled when the verdict is in.
  HANDLE done() const { return done_.get(); }

 private:
  CallerCheck() = default;
  static DWORD WINAPI Run(void* check);
  void Judge();

  std::shared_ptr<const Caller> caller_;
  std::shared_ptr<CallerChecks> checks_;
  UniqueHandle done_;
  std::string reason_;
  bool refused_the_file_ = false;
  FileVersion image_;
  std::atomic<Verdict> verdict_{Verdict::kPending};
};

}  // namespace varnelo
