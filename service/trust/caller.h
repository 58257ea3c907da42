// The caller of one pipe connection: its process, taken hold of the moment the connection is
// made, before any request byte is read, so that the log line, the signature check and the
// hand-overs all speak of the process that opened the connection. A pid looked up later may
// belong to another process by then, and a pipe handle can be passed on to another process.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"
#include "service/trust/caller_rules.h"

namespace varnelo {

class Caller {
 public:
  // Identifies the client of `pipe`, whose connection was made at `connected_at` (system time).
  // The process is opened with only what the caller check needs; fields stay empty where the
  // system would not tell.
  static Caller AtConnection(HANDLE pipe, const FILETIME& connected_at);

  // The client's process id as the pipe reports it; 0 when unknown.
  DWORD pid() const { return pid_; }
  // Query, memory-read and wait rights; null when it could not be opened.
  HANDLE process() const { return process_.get(); }
  // Why the caller is not known: the error of GetNamedPipeClientProcessId when pid() is 0, else
  // of OpenProcess when process() is null; 0 when it was opened.
  DWORD open_error() const { return open_error_; }
  // The image path the process was created from (Win32 form); empty when unknown.
  const std::wstring& image() const { return image_; }
  // The same path in its native form ("\\Device\\HarddiskVolume3\\..."), which tells a local
  // volume from a share even behind a drive letter of the caller's session; empty when unknown.
  const std::wstring& native_image() const { return native_image_; }
  // The account the process runs as, SID text; empty when its token cannot be read.
  const std::wstring& user() const { return user_; }
  // The file image() names now, read without opening it for reading; unknown for an image that
  // is not on a local volume (its host is never asked).
  FileVersion ImageVersion() const;

  // True once the caller's process has ended (also when it was never opened).
  bool HasEnded() const;
  // True when the process the pid led to was created after the connection was made and before it
  // was opened: the opener had already gone and its pid was taken by another process.
  bool IsNewerThanConnection() const { return newer_than_connection_; }
  // The identity of the file mapped as the caller's image, found by its current name, which
  // differs from image() once the running file has been renamed; unknown when it cannot be read.
  FileIdentity MappedImageIdentity() const;
  // A further handle to the same process with `access`, made from the connection's own handle
  // (never by looking the pid up again); empty with the last error set when it is refused.
  UniqueHandle Reopen(DWORD access) const;

 private:
  DWORD pid_ = 0;
  DWORD open_error_ = 0;
  bool newer_than_connection_ = false;
  UniqueHandle process_;
  std::wstring image_;
  std::wstring native_image_;
  std::wstring user_;
};

// The volume and index of an open file; unknown for an invalid handle.
FileIdentity FileIdentityOf(HANDLE file);

// The current system time, as precisely as the system tells it.
FILETIME PreciseSystemTime();

}  // namespace varnelo
