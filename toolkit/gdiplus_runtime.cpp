#include "toolkit/gdiplus_runtime.h"

#include <objidl.h>
#include <shlwapi.h>

#include <cstring>
#include <utility>

#include "common/platform.h"
#include "common/unique_resource.h"

namespace Skin {

namespace {

// The few flat-API shapes we use, declared here so nothing links gdiplus.dll at load time.
struct StartupInput {
  UINT32 version;
  void* debug_callback;
  BOOL suppress_background_thread;
  BOOL suppress_external_codecs;
};
struct LockedBits {
  UINT width;
  UINT height;
  INT stride;
  INT pixel_format;
  void* scan0;
  UINT_PTR reserved;
};
struct RectI {
  INT x, y, width, height;
};
constexpr INT kPixelFormat32bppPARGB = 0x000E200B;
constexpr UINT kLockRead = 1;
// Larger images are refused: no skin needs them, and the DIB's memory stays bounded.
constexpr UINT kMaxImageSide = 8192;

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
  FromStreamFn from_stream = nullptr;
  SizeFn width = nullptr;
  SizeFn height = nullptr;
  LockFn lock = nullptr;
  UnlockFn unlock = nullptr;
  DisposeFn dispose = nullptr;
};
// Process-wide by nature: GDI+ is started once per process, and its module loaded once.
Api g_api;

template <typename T>
bool Resolve(T* fn, const char* name) {
  *fn = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(g_api.module, name)));
  return *fn != nullptr;
}

void DisposeGdipImage(void* image) { g_api.dispose(image); }
// A GDI+ image (GpImage*), disposed at scope end.
using UniqueGdipImage =
    varnelo::UniqueResource<varnelo::NullIsInvalidTraits<void*, &DisposeGdipImage>>;

// A GDI+ image's pixels locked for reading in the toolkit's pixel format, unlocked at scope end.
class LockedPixels {
 public:
  LockedPixels(void* image, UINT width, UINT height) : image_(image) {
    const RectI all = {0, 0, static_cast<INT>(width), static_cast<INT>(height)};
    locked_ = g_api.lock(image, &all, kLockRead, kPixelFormat32bppPARGB, &bits_) == 0;
  }
  ~LockedPixels() {
    if (locked_) g_api.unlock(image_, &bits_);
  }
  LockedPixels(const LockedPixels&) = delete;
  LockedPixels& operator=(const LockedPixels&) = delete;
  explicit operator bool() const { return locked_; }
  const LockedBits& bits() const { return bits_; }

 private:
  void* image_;
  LockedBits bits_ = {};
  bool locked_ = false;
};

UniqueGdipImage CreateGdipBitmap(const std::string& bytes) {
  const UniqueInterface<IStream> stream(::SHCreateMemStream(
      reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size())));
  void* bitmap = nullptr;
  if (!stream || g_api.from_stream(stream.get(), &bitmap) != 0) return UniqueGdipImage();
  return UniqueGdipImage(bitmap);
}

// Copies locked rows, which may be padded, into a new DIB section of exactly `width` pixels a row.
SkinImage CopyToDib(const LockedBits& bits, int width, int height) {
  SkinImage image;
  void* pixels = nullptr;
  UniqueBitmap dib = CreateTopDownDib(width, height, &pixels);
  if (!dib) return image;
  const size_t row_bytes = static_cast<size_t>(width) * kBytesPerPixel;
  for (int row = 0; row < height; ++row) {
    std::memcpy(static_cast<BYTE*>(pixels) + row * row_bytes,
                static_cast<const BYTE*>(bits.scan0) + row * bits.stride, row_bytes);
  }
  image.bitmap = std::move(dib);
  image.width = width;
  image.height = height;
  return image;
}

// Starts GDI+ once; later calls return the first result.
bool StartGdiplus() {
  if (g_api.tried) return g_api.started;
  g_api.tried = true;
  g_api.module = varnelo::LoadSystemLibrary(L"gdiplus.dll");
  if (!g_api.module) return false;
  if (!Resolve(&g_api.startup, "GdiplusStartup") || !Resolve(&g_api.shutdown, "GdiplusShutdown") ||
      !Resolve(&g_api.from_stream, "GdipCreateBitmapFromStream") ||
      !Resolve(&g_api.width, "GdipGetImageWidth") ||
      !Resolve(&g_api.height, "GdipGetImageHeight") ||
      !Resolve(&g_api.lock, "GdipBitmapLockBits") ||
      !Resolve(&g_api.unlock, "GdipBitmapUnlockBits") ||
      !Resolve(&g_api.dispose, "GdipDisposeImage")) {
    return false;
  }
  const StartupInput input = {1, nullptr, FALSE, FALSE};
  g_api.started = g_api.startup(&g_api.token, &input, nullptr) == 0;
  return g_api.started;
}

}  // namespace

void ShutdownGdiplus() {
  if (g_api.started) g_api.shutdown(g_api.token);
  g_api.started = false;
}

SkinImage DecodeImage(const std::string& bytes) {
  if (!StartGdiplus() || bytes.empty()) return SkinImage();
  const UniqueGdipImage bitmap = CreateGdipBitmap(bytes);
  if (!bitmap) return SkinImage();
  UINT width = 0, height = 0;
  g_api.width(bitmap.get(), &width);
  g_api.height(bitmap.get(), &height);
  if (width == 0 || height == 0 || width > kMaxImageSide || height > kMaxImageSide)
    return SkinImage();
  const LockedPixels locked(bitmap.get(), width, height);
  return locked ? CopyToDib(locked.bits(), static_cast<int>(width), static_cast<int>(height))
                : SkinImage();
}

}  // namespace Skin
