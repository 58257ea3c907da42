// Fuzzes the skin archive reader: the central directory, local headers, the traditional
// decryption and inflation, on whatever bytes an archive might hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "toolkit/zip_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Skin::CZipArchive archive;
  if (!archive.Open(data, size, "HbTqwKeZ")) return 0;
  // The seeds name their entries so; mutations reach the others through the directory bytes.
  for (const char* name : {"main.xml", "img/close.png", "a", "b"}) {
    std::string contents = "left over";
    if (!archive.Read(name, &contents) && !contents.empty())
      std::abort();  // a failed read leaves nothing
  }
  return 0;
}
