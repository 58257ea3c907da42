// Client side of the service pipe, shared by the test client and the Windows test programs.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

namespace varnelo {

// Connects to \\.\pipe\VarneloService, retrying over busy, absent and failed waits until the
// deadline (one instance at a time means the name is often briefly missing).
UniqueHandle ConnectToService(DWORD timeout_ms);

// Writes `request` in pieces of `chunk` bytes (0 = one write), pausing between pieces.
bool SendRequestBytes(HANDLE pipe, const std::string& request, size_t chunk);

// Reads until the server disconnects, or for `timeout_ms` at most; returns every byte it sent.
std::string ReadUntilDisconnect(HANDLE pipe, DWORD timeout_ms = 20000);

// Connect, send, read; returns false when no connection could be made.
bool ExchangeWithService(const std::string& request, std::string* response, size_t chunk = 0,
                         DWORD timeout_ms = 10000);

// Whether the server end of `pipe` is the service: a LocalSystem process, or the process running
// `service_image` (compared without case). Any user can add an instance of the pipe's name, so a
// client asks before it sends a path or takes a handle. On refusal `why` says what answered.
bool ServerIsService(HANDLE pipe, const std::wstring& service_image, std::string* why);

// Value of `key` in a key=value response, or empty.
std::string ResponseValue(const std::string& response, const std::string& key);

// Interprets \n, \r, \0, \\ and \xHH in a command-line argument.
std::string UnescapeArgument(const std::wstring& text);

}  // namespace varnelo
