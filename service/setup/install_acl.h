// Who owns, and who may write to, a file or folder the LocalSystem service will run from.
#pragma once

#include <windows.h>

#include <cstddef>

namespace varnelo {

class Reason;

// Rights that let an account replace or re-permission a file: write, append, extended attributes,
// attributes, delete, DACL, owner, and the generic write and all rights. Deleting children of a
// folder alone is not among them.
constexpr DWORD kInstallWriterRightsMask = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                           FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                           WRITE_OWNER | GENERIC_ALL | GENERIC_WRITE;
static_assert(kInstallWriterRightsMask == 0x500D0116, "the writer rights mask");

// Judges an owner and a DACL (null = a NULL DACL). True when the owner and every account that an
// allow ACE grants writer rights are trusted; otherwise false with one reason line, naming
// `path`, in `reason` (cut to fit, terminated). Deny ACEs and ACE flags are not looked at.
bool JudgeInstallAcl(PSID owner, const ACL* dacl, const wchar_t* path, Reason* reason);

// Reads the owner and DACL of `path` and judges them; a read failure is untrusted too.
bool VerifyInstallAcl(const wchar_t* path, Reason* reason);

}  // namespace varnelo
