// Move-only owners for Win32 resources. One owner per resource; ownership moves with std::move.
#pragma once

#include <windows.h>

#include <utility>

namespace varnelo {

template <typename Traits>
class UniqueResource {
 public:
  using pointer = typename Traits::pointer;

  UniqueResource() noexcept : value_(Traits::Invalid()) {}
  explicit UniqueResource(pointer value) noexcept : value_(value) {}
  ~UniqueResource() { reset(); }

  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  pointer get() const noexcept { return value_; }
  // For out-parameters: frees what is held, then lends the slot.
  pointer* put() noexcept {
    reset();
    return &value_;
  }
  [[nodiscard]] pointer release() noexcept { return std::exchange(value_, Traits::Invalid()); }
  // Keeps the thread's last error, so a failure can be reported after its handles are freed.
  void reset(pointer value = Traits::Invalid()) noexcept {
    pointer old = std::exchange(value_, value);
    if (!Traits::IsValid(old)) return;
    const DWORD last_error = ::GetLastError();
    Traits::Close(old);
    ::SetLastError(last_error);
  }
  explicit operator bool() const noexcept { return Traits::IsValid(value_); }

 private:
  pointer value_;
};

struct KernelHandleTraits {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return nullptr; }
  // Kernel calls disagree on their failure value; neither null nor INVALID_HANDLE_VALUE is owned.
  static bool IsValid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(pointer h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// Traits for a resource whose "none" value is null and which one API call releases.
template <typename T, auto CloseFunction>
struct NullIsInvalidTraits {
  using pointer = T;
  static pointer Invalid() noexcept { return nullptr; }
  static bool IsValid(pointer h) noexcept { return h != nullptr; }
  static void Close(pointer h) noexcept { CloseFunction(h); }
};

using UniqueRegKey = UniqueResource<NullIsInvalidTraits<HKEY, &::RegCloseKey>>;
using UniqueServiceHandle = UniqueResource<NullIsInvalidTraits<SC_HANDLE, &::CloseServiceHandle>>;
// Memory from LocalAlloc or from APIs documented to be freed with LocalFree
// (security descriptors from SDDL, FormatMessage buffers, ...).
using UniqueLocal = UniqueResource<NullIsInvalidTraits<HLOCAL, &::LocalFree>>;
using UniqueModule = UniqueResource<NullIsInvalidTraits<HMODULE, &::FreeLibrary>>;

// A security descriptor made from SDDL text, freed with LocalFree.
class SecurityDescriptor {
 public:
  static SecurityDescriptor FromSddl(const wchar_t* sddl);
  PSECURITY_DESCRIPTOR get() const noexcept { return memory_.get(); }
  explicit operator bool() const noexcept { return static_cast<bool>(memory_); }
  DWORD error() const noexcept { return error_; }

 private:
  UniqueLocal memory_;
  DWORD error_ = 0;
};

// A process together with its primary thread, as CreateProcessW returns them.
struct ProcessHandles {
  UniqueHandle process;
  UniqueHandle thread;
  DWORD pid = 0;
};

}  // namespace varnelo
