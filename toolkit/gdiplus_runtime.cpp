#include "gdiplus_runtime.h"

#include <objidl.h>
#include <shlwapi.h>

#include <cstring>
#include <utility>

#include "common/platform.h"

namespace Skin {

namespace {

// The few flat-API shapes we use, declared here so nothing links gdiplus.dll at load time.
struct StartupInput {
  UINT32 version;
  void* debugCallback;
  BOOL suppressBackgroundThread;
  BOOL suppressExternalCodecs;
};
struct LockedBits {
  UINT width;
  UINT height;
  INT stride;
  INT pixelFormat;
  void* scan0;
  UINT_PTR reserved;
};
struct RectI {
  INT x, y, width, height;
};
constexpr INT kPixelFormat32bppPARGB = 0x000E200B;
constexpr UINT kLockRead = 1;

using StartupFn = int(WINAPI*)(ULONG_PTR*, const StartupInput*, void*);
using ShutdownFn = void(WINAPI*)(ULONG_PTR);
using FromStreamFn = int(WINAPI*)(IStream*, void**);
using SizeFn = int(WINAPI*)(void*, UINT*);
using LockFn = int(WINAPI*)(void*, const RectI*, UINT, INT, LockedBits*);
using UnlockFn = int(WINAPI*)(void*, LockedBits*);
using DisposeFn = int(WINAPI*)(void*);

struct Api {
  HMODULE module = nullptr;
  ULONG_PTR token = 0;
  bool started = false;
  bool tried = false;
  StartupFn startup = nullptr;
  ShutdownFn shutdown = nullptr;
  FromStreamFn fromStream = nullptr;
  SizeFn width = nullptr;
  SizeFn height = nullptr;
  LockFn lock = nullptr;
  UnlockFn unlock = nullptr;
  DisposeFn dispose = nullptr;
};
Api g_api;

template <typename T>
bool Resolve(T* fn, const char* name) {
  *fn = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(g_api.module, name)));
  return *fn != nullptr;
}

}  // namespace

bool StartGdiplus() {
  if (g_api.tried) return g_api.started;
  g_api.tried = true;
  g_api.module = varnelo::LoadSystemLibrary(L"gdiplus.dll");
  if (!g_api.module) return false;
  if (!Resolve(&g_api.startup, "GdiplusStartup") || !Resolve(&g_api.shutdown, "GdiplusShutdown") ||
      !Resolve(&g_api.fromStream, "GdipCreateBitmapFromStream") || !Resolve(&g_api.width, "GdipGetImageWidth") ||
      !Resolve(&g_api.height, "GdipGetImageHeight") || !Resolve(&g_api.lock, "GdipBitmapLockBits") ||
      !Resolve(&g_api.unlock, "GdipBitmapUnlockBits") || !Resolve(&g_api.dispose, "GdipDisposeImage")) {
    return false;
  }
  const StartupInput input = {1, nullptr, FALSE, FALSE};
  g_api.started = g_api.startup(&g_api.token, &input, nullptr) == 0;
  return g_api.started;
}

void ShutdownGdiplus() {
  if (g_api.started) g_api.shutdown(g_api.token);
  g_api.started = false;
}

SkinImage DecodeImage(const std::string& bytes) {
  SkinImage image;
  if (!StartGdiplus() || bytes.empty()) return image;
  IStream* stream = ::SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size()));
  if (!stream) return image;
  void* bitmap = nullptr;
  const int created = g_api.fromStream(stream, &bitmap);
  stream->Release();
  if (created != 0 || !bitmap) return image;

  UINT width = 0, height = 0;
  g_api.width(bitmap, &width);
  g_api.height(bitmap, &height);
  LockedBits bits = {};
  const RectI all = {0, 0, static_cast<INT>(width), static_cast<INT>(height)};
  if (width > 0 && height > 0 && width <= 8192 && height <= 8192 &&
      g_api.lock(bitmap, &all, kLockRead, kPixelFormat32bppPARGB, &bits) == 0) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    UniqueBitmap dib(::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0));
    if (dib && pixels) {
      for (UINT row = 0; row < height; ++row) {
        std::memcpy(static_cast<BYTE*>(pixels) + row * width * 4,
                    static_cast<const BYTE*>(bits.scan0) + static_cast<INT>(row) * bits.stride, width * 4);
      }
      image.bitmap = std::move(dib);
      image.width = static_cast<int>(width);
      image.height = static_cast<int>(height);
    }
    g_api.unlock(bitmap, &bits);
  }
  g_api.dispose(bitmap);
  return image;
}

}  // namespace Skin
