// Authenticode checks: files, pipe callers, and whether the service itself is publisher-signed.
#pragma once

#include <windows.h>

#include <cstddef>

namespace varnelo {

class Reason;

class Caller;

extern const wchar_t kExpectedPublisher[];

// Embedded, valid Authenticode signature whose first signer names the publisher, judged on one
// open of the file without reaching the network: the signer's chain must first be complete from
// what the signature and this machine hold (nothing fetched), then one WinVerifyTrust, told to use
// cached data only, and the signer and chain that call built.
// On failure writes why into `reason`.
bool VerifyFileSignature(const wchar_t* path, Reason* reason);

// The caller's executable passes VerifyFileSignature. The caller must still be the process that
// opened the connection (not ended, not newer than the connection); an image that is not on a
// local volume is refused before anything opens it. The file checked is the one its image path
// names, held open so it cannot be swapped during the check, and only when it is the very file
// that runs as the caller's image (a running program can rename its own file away).
// `refused_the_file`, when given, says whether a refusal was of the image file's signature
// (invalid, or not the publisher's) rather than of the process or of its name.
bool VerifyCallerSignature(const Caller& caller, Reason* reason, bool* refused_the_file = nullptr);

// Whether the process that opened the caller's connection still runs: a caller judged while its
// request was still coming must not have handed its connection on and ended since. On failure
// writes the reason a refused caller gets.
bool IsCallerStillConnected(const Caller& caller, Reason* reason);

}  // namespace varnelo
