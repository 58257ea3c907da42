#include "toolkit/gdi_resources.h"

#include <utility>

namespace Skin {

UniqueBitmap CreateTopDownDib(int width, int height, void** pixels) {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // negative: the first row is the top one
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = kBytesPerPixel * 8;
  info.bmiHeader.biCompression = BI_RGB;
  *pixels = nullptr;
  UniqueBitmap bitmap(::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, pixels, nullptr, 0));
  if (!bitmap || *pixels == nullptr) {
    *pixels = nullptr;
    return UniqueBitmap();
  }
  return bitmap;
}

bool BitmapDc::EnsureDc() {
  if (!dc_) dc_.reset(::CreateCompatibleDC(nullptr));
  return static_cast<bool>(dc_);
}

void BitmapDc::SetBitmap(UniqueBitmap bitmap) {
  RestoreOriginal();
  original_ = ::SelectObject(dc_.get(), bitmap.get());
  bitmap_ = std::move(bitmap);
}

void BitmapDc::RestoreOriginal() {
  if (original_) ::SelectObject(dc_.get(), original_);
  original_ = nullptr;
}

}  // namespace Skin
