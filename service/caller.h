// The caller of one pipe connection: its process, opened once right after its request has been
// read, so that the log line, the signature check and the hand-overs all speak of that one
// process. A pid looked up again later may belong to another process by then.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

namespace varnelo {

class Caller {
 public:
  // Identifies the client of `pipe`. Fields stay empty where the system would not tell.
  static Caller FromPipe(HANDLE pipe);

  // The client's process id as the pipe reports it; 0 when unknown.
  DWORD pid() const { return pid_; }
  // Query, memory-read, handle-duplication and wait rights; null when it could not be opened.
  HANDLE process() const { return process_.get(); }
  // Why the caller is not known: the error of GetNamedPipeClientProcessId when pid() is 0, else
  // of OpenProcess when process() is null; 0 when it was opened.
  DWORD openError() const { return openError_; }
  // The image path the process was created from (Win32 form); empty when unknown.
  const std::wstring& image() const { return image_; }
  // The same path in its native form ("\\Device\\HarddiskVolume3\\..."), which tells a local
  // volume from a share even behind a drive letter of the caller's session; empty when unknown.
  const std::wstring& nativeImage() const { return nativeImage_; }

  // True once the caller's process has ended (also when it was never opened).
  bool HasEnded() const;
  // A path that opens the file mapped as the caller's image, by its current name; empty when
  // unknown. Differs from image() once the running file has been renamed.
  std::wstring MappedImagePath() const;

 private:
  DWORD pid_ = 0;
  DWORD openError_ = 0;
  UniqueHandle process_;
  std::wstring image_;
  std::wstring nativeImage_;
};

}  // namespace varnelo
