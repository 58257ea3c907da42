// GDI+ loaded at run time from the system directory only (never from the program's own folder),
// used to decode PNG images into premultiplied 32-bit DIB sections.
#pragma once

#include <windows.h>

#include <string>

#include "toolkit/gdi_resources.h"

namespace Skin {

struct SkinImage {
  UniqueBitmap bitmap;  // top-down 32 bpp, premultiplied alpha
  int width = 0;
  int height = 0;
};

void ShutdownGdiplus();

// Decodes PNG (or any GDI+ format) bytes; an empty image on failure.
SkinImage DecodeImage(const std::string& bytes);

}  // namespace Skin
