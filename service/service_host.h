// Service mode (ServiceMain, control handler) and console mode (-run), with the start and stop
// order.
#pragma once

#include <windows.h>

namespace varnelo {

// Hands the process to the service control manager; returns the process exit code.
int RunServiceDispatcher();

// -run: the pipe loop in the foreground until Ctrl+C; returns 0, or the error that kept it from
// starting.
int RunConsoleMode();

// The service's control handler: stop and shutdown signal the stop, interrogate is answered,
// every other control is refused with ERROR_CALL_NOT_IMPLEMENTED.
DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD event_type, void* event_data, void* context);

}  // namespace varnelo
