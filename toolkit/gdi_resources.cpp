#include "toolkit/gdi_resources.h"

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

}  // namespace Skin
