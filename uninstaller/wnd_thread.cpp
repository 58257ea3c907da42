#include "uninstaller/wnd_thread.h"

#include <process.h>

#include <vector>

namespace varnelo {

namespace {

class LockGuard {
 public:
  explicit LockGuard(CRITICAL_SECTION* lock) : lock_(lock) { ::EnterCriticalSection(lock_); }
  ~LockGuard() { ::LeaveCriticalSection(lock_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  CRITICAL_SECTION* lock_;
};
}  // namespace

CWndThread::CWndThread() { ::InitializeCriticalSection(&lock_); }

CWndThread::~CWndThread() {
  StopAllThreads();
  ::DeleteCriticalSection(&lock_);
}

DWORD CWndThread::StartThread(ThreadProc proc, void* argument) {
  unsigned id = 0;
  UniqueHandle handle(reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, Trampoline, this, CREATE_SUSPENDED, &id)));
  if (!handle) return 0;
  const HANDLE raw = handle.get();
  {
    LockGuard lock(&lock_);
    threads_[id] = ThreadEntry{std::move(handle), proc, argument};
  }
  // Started suspended, so the record exists before the thread looks for it.
  ::ResumeThread(raw);
  return id;
}

unsigned __stdcall CWndThread::Trampoline(void* param) {
  CWndThread* self = static_cast<CWndThread*>(param);
  const DWORD id = ::GetCurrentThreadId();
  ThreadProc proc = nullptr;
  void* argument = nullptr;
  {
    LockGuard lock(&self->lock_);
    const auto it = self->threads_.find(id);
    if (it != self->threads_.end()) {
      proc = it->second.proc;
      argument = it->second.argument;
    }
  }
  if (proc) proc(argument);
  {
    // Gone already when StopAllThreads took it; then that side closes the handle.
    LockGuard lock(&self->lock_);
    self->threads_.erase(id);
  }
  return 0;
}

void CWndThread::StopAllThreads() {
  std::vector<UniqueHandle> handles;
  {
    LockGuard lock(&lock_);
    for (auto& entry : threads_) handles.push_back(std::move(entry.second.handle));
    threads_.clear();
  }
  for (UniqueHandle& handle : handles) {
    if (::WaitForSingleObject(handle.get(), kStopWaitMs) != WAIT_OBJECT_0)
      ::TerminateThread(handle.get(), 0);
  }
}

}  // namespace varnelo
