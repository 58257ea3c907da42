// CWndThread: the window's registry of worker threads. A thread is registered before it runs
// and is waited for (then ended, if need be) when the window goes away.
#pragma once

#include <windows.h>

#include <map>

#include "common/unique_resource.h"

namespace varnelo {

class CWndThread {
 public:
  using ThreadProc = void (*)(void* argument);
  // How long StopAllThreads waits for each thread before it ends it.
  static constexpr DWORD kStopWaitMs = 10000;

  CWndThread();
  virtual ~CWndThread();
  CWndThread(const CWndThread&) = delete;
  CWndThread& operator=(const CWndThread&) = delete;

  // Starts `proc(argument)` on a new thread; returns its id (0 on failure).
  DWORD StartThread(ThreadProc proc, void* argument);
  // Waits up to kStopWaitMs for each registered thread, ends those still running, forgets them all.
  void StopAllThreads();

 private:
  struct ThreadEntry {
    UniqueHandle handle;
    ThreadProc proc;
    void* argument;
  };
  static unsigned __stdcall Trampoline(void* self);

  CRITICAL_SECTION lock_;
  std::map<DWORD, ThreadEntry> threads_;
};

}  // namespace varnelo
