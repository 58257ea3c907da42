// The removal worker: runs once on its own thread after the confirmation, removes the service,
// ends the product's processes, resets the network and proxy settings, deletes the product's
// files, listed shortcut, registry keys and Start-menu shortcuts, and reports through the
// window's four flags. It shows nothing and logs nothing; failures show only in the flags.
#pragma once

namespace varnelo {

// The worker procedure for CWndThread; the argument is unused.
void RunRemoval(void* unused);

// The steps, in the order RunRemoval takes them after the service removal and the processes.
void ResetNetworkSettings();
bool RemoveProductFiles();    // true when the installation directory is gone
bool RemoveListedShortcut();  // always true
bool CleanRegistry();
void RemoveStartMenuShortcuts();

}  // namespace varnelo
