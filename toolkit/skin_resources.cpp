#include "toolkit/skin_resources.h"

#include "toolkit/zip_archive.h"

namespace Skin {

namespace {
HINSTANCE g_resourceInstance = nullptr;
CZipArchive g_archive;
}  // namespace

void SetResourceInstance(HINSTANCE instance) { g_resourceInstance = instance; }
HINSTANCE GetResourceInstance() { return g_resourceInstance; }

bool SetResourceZip(const void* data, std::size_t size, const char* password) {
  return g_archive.Open(data, size, password ? password : "");
}

bool LoadSkinFile(const std::string& name, std::string* contents) {
  return g_archive.IsOpen() && g_archive.Read(name, contents);
}

}  // namespace Skin
