#include "tools/service_client.h"

#include <algorithm>
#include <cwchar>

#include "common/utf8.h"
#include "service/protocol/request.h"

namespace varnelo {

namespace {
constexpr wchar_t kServicePipe[] = L"\\\\.\\pipe\\VarneloService";
constexpr DWORD kRetryDelayMs = 1;  // the next instance is usually back within a millisecond
constexpr DWORD kChunkPauseMs = 30;
}  // namespace

UniqueHandle ConnectToService(DWORD timeout_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    UniqueHandle pipe(::CreateFileW(kServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (pipe) return pipe;
    if (::GetTickCount64() >= deadline) return UniqueHandle();
    if (::GetLastError() == ERROR_PIPE_BUSY) ::WaitNamedPipeW(kServicePipe, 100);
    ::Sleep(kRetryDelayMs);
  }
}

bool SendRequestBytes(HANDLE pipe, const std::string& request, size_t chunk) {
  if (chunk == 0) chunk = request.size();
  for (size_t offset = 0; offset < request.size(); offset += chunk) {
    const DWORD piece = static_cast<DWORD>(std::min(chunk, request.size() - offset));
    DWORD written = 0;
    if (!::WriteFile(pipe, request.data() + offset, piece, &written, nullptr) || written != piece) {
      return false;
    }
    if (offset + piece < request.size()) ::Sleep(kChunkPauseMs);
  }
  return true;
}

namespace {

void CALLBACK CancelPipe(void* pipe, BOOLEAN /*fired*/) {
  ::CancelIoEx(static_cast<HANDLE>(pipe), nullptr);
}

}  // namespace

std::string ReadUntilDisconnect(HANDLE pipe, DWORD timeout_ms) {
  // A server that never answers ends the read at the limit, every 100 ms after it again, so a
  // test fails in seconds instead of hanging.
  HANDLE timer = nullptr;
  if (!::CreateTimerQueueTimer(&timer, nullptr, CancelPipe, pipe, timeout_ms, 100,
                               WT_EXECUTEDEFAULT)) {
    timer = nullptr;
  }
  std::string response;
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr);
    if (got > 0) response.append(buffer, got);
    if (!ok && ::GetLastError() != ERROR_MORE_DATA) break;
    if (ok && got == 0) break;
  }
  if (timer != nullptr) ::DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
  return response;
}

bool ExchangeWithService(const std::string& request, std::string* response, size_t chunk,
                         DWORD timeout_ms) {
  const UniqueHandle pipe = ConnectToService(timeout_ms);
  if (!pipe) return false;
  SendRequestBytes(pipe.get(), request, chunk);
  *response = ReadUntilDisconnect(pipe.get());
  return true;
}

namespace {

bool IsLocalSystemProcess(HANDLE process) {
  UniqueHandle token;
  if (!::OpenProcessToken(process, TOKEN_QUERY, token.put())) return false;
  BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  return ::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size) &&
         ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid);
}

}  // namespace

bool ServerIsService(HANDLE pipe, const std::wstring& service_image, std::string* why) {
  ULONG pid = 0;
  if (!::GetNamedPipeServerProcessId(pipe, &pid) || pid == 0) {
    *why = "server process unknown";
    return false;
  }
  const UniqueHandle server(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t image[1024] = {};
  DWORD image_chars = 1024;
  if (!server || !::QueryFullProcessImageNameW(server.get(), 0, image, &image_chars)) {
    *why = "server pid=" + std::to_string(pid) + " cannot be opened";
    return false;
  }
  if (IsLocalSystemProcess(server.get()) ||
      ::CompareStringOrdinal(image, static_cast<int>(image_chars), service_image.c_str(),
                             static_cast<int>(service_image.size()), TRUE) == CSTR_EQUAL) {
    return true;
  }
  *why = "server pid=" + std::to_string(pid) + " image=" + WideToUtf8(image);
  return false;
}

std::string ResponseValue(const std::string& response, const std::string& key) {
  return GetRequestValue(ParseRequest(response.data(), response.size()), key, "");
}

std::string UnescapeArgument(const std::wstring& text) {
  std::string bytes;
  std::wstring plain;  // converted in runs, so surrogate pairs stay whole
  auto flush = [&] {
    bytes += WideToUtf8(plain);
    plain.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'\\' || i + 1 >= text.size()) {
      plain.push_back(text[i]);
      continue;
    }
    flush();
    const wchar_t next = text[++i];
    if (next == L'n') {
      bytes += '\n';
    } else if (next == L'r') {
      bytes += '\r';
    } else if (next == L'0') {
      bytes += '\0';
    } else if (next == L'x' && i + 2 < text.size()) {
      bytes += static_cast<char>(std::wcstoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      plain.push_back(next);
    }
  }
  flush();
  return bytes;
}

}  // namespace varnelo
