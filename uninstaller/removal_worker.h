// The removal worker: runs once on its own thread after the confirmation, removes the service,
// ends the product's processes, resets the network and proxy settings, deletes the product's
// files, listed shortcut, registry keys and Start-menu shortcuts, and reports through a removal
// report that the window owns. It shows nothing and logs nothing; failures show only in the report.
#pragma once

#include <atomic>

namespace varnelo {

// What the worker reports to the window: each flag written once, in this order, by the worker,
// and only read by the window's timer.
struct RemovalReport {
  std::atomic<bool> files_removed{false};
  std::atomic<bool> shortcuts_removed{false};
  std::atomic<bool> registry_cleaned{false};
  std::atomic<bool> worker_done{false};
};

// The worker procedure for CWndThread; the argument is the window's RemovalReport, which outlives
// the worker.
void RunRemoval(void* report);

}  // namespace varnelo
