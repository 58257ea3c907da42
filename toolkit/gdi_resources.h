// Owners for the GDI and USER objects the toolkit draws with, on the same move-only template as
// every other handle: fonts, bitmaps, brushes, icons, COM interfaces, memory DCs, window DCs and a
// selection into a DC.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"

namespace Skin {

template <typename T>
using UniqueGdiObject = varnelo::UniqueResource<varnelo::NullIsInvalidTraits<T, &::DeleteObject>>;
using UniqueFont = UniqueGdiObject<HFONT>;
using UniqueBitmap = UniqueGdiObject<HBITMAP>;
using UniqueBrush = UniqueGdiObject<HBRUSH>;
using UniqueRegion = UniqueGdiObject<HRGN>;
// An icon from LoadImage without LR_SHARED (a shared one must not be destroyed).
using UniqueIcon = varnelo::UniqueResource<varnelo::NullIsInvalidTraits<HICON, &::DestroyIcon>>;
// A DC from CreateCompatibleDC.
using UniqueMemoryDc = varnelo::UniqueResource<varnelo::NullIsInvalidTraits<HDC, &::DeleteDC>>;

template <typename Interface>
void ReleaseInterface(Interface* object) {
  object->Release();
}
// One reference to a COM interface, released at scope end.
template <typename Interface>
using UniqueInterface =
    varnelo::UniqueResource<varnelo::NullIsInvalidTraits<Interface*, &ReleaseInterface<Interface>>>;

// The pixel format every toolkit bitmap uses: 32 bits, blue-green-red-alpha, alpha premultiplied.
constexpr int kBytesPerPixel = 4;

// A top-down DIB section of `width` x `height` pixels in that format; `pixels` receives its bits.
// Null on failure.
UniqueBitmap CreateTopDownDib(int width, int height, void** pixels);

// A window's (or, with a null window, the screen's) DC from GetDC, released at scope end.
class WindowDc {
 public:
  explicit WindowDc(HWND hwnd) : hwnd_(hwnd), dc_(::GetDC(hwnd)) {}
  ~WindowDc() {
    if (dc_) ::ReleaseDC(hwnd_, dc_);
  }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND hwnd_;
  HDC dc_;
};

// Selects an object into a DC and puts the previous one back at scope end, so the object is never
// deleted while selected.
class SelectionScope {
 public:
  SelectionScope(HDC dc, HGDIOBJ object)
      : dc_(dc), previous_(object ? ::SelectObject(dc, object) : nullptr) {}
  ~SelectionScope() {
    if (previous_) ::SelectObject(dc_, previous_);
  }
  SelectionScope(const SelectionScope&) = delete;
  SelectionScope& operator=(const SelectionScope&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// A memory DC drawing into a bitmap it owns. The DC's original bitmap goes back in before the
// owned one is replaced or freed, so no bitmap is deleted while selected, whatever the order in
// which the members are freed.
class BitmapDc {
 public:
  BitmapDc() = default;
  ~BitmapDc() { RestoreOriginal(); }
  BitmapDc(const BitmapDc&) = delete;
  BitmapDc& operator=(const BitmapDc&) = delete;

  // Creates the DC on first use; false when it cannot be created.
  bool EnsureDc();
  // Draws into `bitmap` from now on and frees the bitmap drawn into before. Needs the DC.
  void SetBitmap(UniqueBitmap bitmap);
  HDC dc() const { return dc_.get(); }
  // True once a bitmap is set.
  explicit operator bool() const { return static_cast<bool>(bitmap_); }

 private:
  void RestoreOriginal();

  UniqueMemoryDc dc_;
  UniqueBitmap bitmap_;
  HGDIOBJ original_ = nullptr;
};

}  // namespace Skin
