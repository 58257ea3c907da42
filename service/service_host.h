// Service mode (ServiceMain, control handler) and console mode (-run), with the start and stop order.
#pragma once

namespace varnelo {

extern const wchar_t kServiceName[];

// Hands the process to the service control manager; returns the process exit code.
int RunServiceDispatcher();

// -run: the pipe loop in the foreground until Ctrl+C; returns 0.
int RunConsoleMode();

}  // namespace varnelo
