// The names the service is known by, defined once.
#pragma once

namespace varnelo {

// The service's registration name, also the pipe's last component.
inline constexpr wchar_t kServiceName[] = L"VarneloService";
inline constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\VarneloService";
// The proxy core's file name in the installation folder, and its process name.
inline constexpr wchar_t kCoreFileName[] = L"VarneloCore.exe";

}  // namespace varnelo
