#include "toolkit/skin_resources.h"

#include "toolkit/zip_archive.h"

namespace Skin {

namespace {
// Where every window of the process finds its skin: registered once at start-up, before the first
// window is made, and read by each window's layout and images.
struct SkinSource {
  HINSTANCE instance = nullptr;
  CZipArchive archive;
};
SkinSource g_source;
}  // namespace

void SetResourceInstance(HINSTANCE instance) { g_source.instance = instance; }
HINSTANCE GetResourceInstance() { return g_source.instance; }

bool SetResourceZip(const void* data, std::size_t size, const char* password) {
  return g_source.archive.Open(data, size, password ? password : "");
}

bool LoadSkinFile(const std::string& name, std::string* contents) {
  return g_source.archive.IsOpen() && g_source.archive.Read(name, contents);
}

}  // namespace Skin
