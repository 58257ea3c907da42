#include "service/caller_check.h"

#include "service/caller.h"
#include "service/trust.h"

namespace varnelo {

namespace {

constexpr size_t kCallerReasonSize = 128;
constexpr char kReasonNoCheck[] = "caller check could not be started";

}  // namespace

CheckCapacity::CheckCapacity(LONG checks)
    : semaphore_(::CreateSemaphoreW(nullptr, checks, checks, nullptr)) {}

void CheckCapacity::Return() const { ::ReleaseSemaphore(semaphore_.get(), 1, nullptr); }

std::shared_ptr<CallerCheck> CallerCheck::Start(std::shared_ptr<const Caller> caller,
                                                std::shared_ptr<const CheckCapacity> capacity) {
  std::shared_ptr<CallerCheck> check(new CallerCheck);
  check->caller_ = std::move(caller);
  check->capacity_ = std::move(capacity);
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
  check->capacity_->Return();
  return check;
}

DWORD WINAPI CallerCheck::Run(void* param) {
  const std::unique_ptr<std::shared_ptr<CallerCheck>> owned(
      static_cast<std::shared_ptr<CallerCheck>*>(param));
  (*owned)->Judge();
  return 0;
}

void CallerCheck::Judge() {
  char reason[kCallerReasonSize] = {};
  const bool trusted = VerifyCallerSignature(*caller_, reason, sizeof(reason));
  if (!trusted) reason_ = reason;
  verdict_.store(trusted ? Verdict::kTrusted : Verdict::kRefused);
  ::SetEvent(done_.get());
  capacity_->Return();
}

}  // namespace varnelo
