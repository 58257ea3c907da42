// The removal worker: runs once on its own thread after the confirmation, removes the service,
// ends the product's processes, resets the network and proxy settings, deletes the product's
// files, listed shortcut, registry keys and Start-menu shortcuts, and reports through a removal
// report that the window owns. It shows nothing and logs nothing; failures show only in the report.
#pragma once

#include <atomic>
#include <string>

namespace varnelo {

// What the worker reports to the window: each flag written once, in this order, by the worker,
// and only read by the window's timer.
struct RemovalReport {
  std::atomic<bool> filesRemoved{false};
  std::atomic<bool> shortcutsRemoved{false};
  std::atomic<bool> registryCleaned{false};
  std::atomic<bool> workerDone{false};
};

// The worker procedure for CWndThread; the argument is the window's RemovalReport, which outlives
// the worker.
void RunRemoval(void* report);

// The steps, in the order RunRemoval takes them after the service removal and the processes.
// `installDir` is the installation directory as read once from the registry (with a trailing
// separator; empty when none is known).
void ResetNetworkSettings(const std::wstring& installDir);
bool RemoveProductFiles(const std::wstring& installDir);  // true when the directory is gone
bool RemoveListedShortcut();                              // always true
bool CleanRegistry();
void RemoveStartMenuShortcuts();

}  // namespace varnelo
