#include "service/trust/caller_check.h"
#include "common/reason.h"

#include "service/trust/caller.h"
#include "service/trust/trust.h"

namespace varnelo {

namespace {

constexpr char kReasonNoCheck[] = "caller check could not be started";

}  // namespace

CallerChecks::CallerChecks(LONG checks)
    : semaphore_(::CreateSemaphoreW(nullptr, checks, checks, nullptr)) {}

void CallerChecks::Return() const { ::ReleaseSemaphore(semaphore_.get(), 1, nullptr); }

std::string CallerChecks::RefusedLately(const FileVersion& image) const {
  const std::lock_guard<std::mutex> lock(lock_);
  return refused_.RefusedLately(image, ::GetTickCount64());
}

bool CallerChecks::PathRefusedLately(const std::wstring& native_image) const {
  const std::lock_guard<std::mutex> lock(lock_);
  return refused_.PathRefusedLately(native_image, ::GetTickCount64());
}

void CallerChecks::RememberRefused(const FileVersion& image, const std::wstring& native_image,
                                   const std::string& reason) {
  const std::lock_guard<std::mutex> lock(lock_);
  refused_.Remember(image, native_image, reason, ::GetTickCount64());
}

std::shared_ptr<CallerCheck> CallerCheck::Start(std::shared_ptr<const Caller> caller,
                                                std::shared_ptr<CallerChecks> checks) {
  std::shared_ptr<CallerCheck> check(new CallerCheck);
  check->caller_ = std::move(caller);
  check->checks_ = std::move(checks);
  check->done_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  // The thread owns a reference of its own, so the check outlives a connection that gave up.
  std::unique_ptr<std::shared_ptr<CallerCheck>> owned(new std::shared_ptr<CallerCheck>(check));
  const UniqueHandle thread(check->done_ ? ::CreateThread(nullptr, 0, Run, owned.get(), 0, nullptr)
                                         : nullptr);
  if (thread) {
    static_cast<void>(owned.release());
    return check;
  }
  check->reason_ = kReasonNoCheck;
  check->verdict_.store(Verdict::kRefused);
  if (check->done_) ::SetEvent(check->done_.get());
  check->checks_->Return();
  return check;
}

DWORD WINAPI CallerCheck::Run(void* param) {
  const std::unique_ptr<std::shared_ptr<CallerCheck>> owned(
      static_cast<std::shared_ptr<CallerCheck>*>(param));
  (*owned)->Judge();
  return 0;
}

void CallerCheck::Judge() {
  image_ = caller_->ImageVersion();
  bool trusted = false;
  reason_ = checks_->RefusedLately(image_);
  if (reason_.empty()) {
    Reason reason;
    trusted = VerifyCallerSignature(*caller_, &reason, &refused_the_file_);
    if (!trusted) reason_ = reason.c_str();
  } else {
    refused_the_file_ = true;  // the same version of a file refused for its signature a moment ago
  }
  // Only a refusal of the file's signature says anything about the next caller from that file.
  if (!trusted && refused_the_file_) {
    checks_->RememberRefused(image_, caller_->native_image(), reason_);
  }
  verdict_.store(trusted ? Verdict::kTrusted : Verdict::kRefused);
  ::SetEvent(done_.get());
  checks_->Return();
}

}  // namespace varnelo
