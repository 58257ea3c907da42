// Reads entries of a zip archive held in memory (stored or deflated, optionally with the
// traditional PKWARE encryption). Every offset and size is checked against the buffer, so a
// damaged or hostile archive fails cleanly. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Skin {

class CZipArchive {
 public:
  // Indexes the central directory. The buffer must outlive the archive object.
  bool Open(const void* data, std::size_t size, const std::string& password);
  bool IsOpen() const { return data_ != nullptr; }

  // Extracts one entry by its name ('\' and '/' are the same); false, with `contents` empty, when
  // it is absent or damaged.
  bool Read(const std::string& name, std::string* contents) const;

 private:
  struct Entry {
    std::string name;
    std::uint16_t flags;
    std::uint16_t method;
    std::uint32_t crc;
    std::uint32_t compressed_size;
    std::uint32_t size;
    std::uint32_t local_header_offset;
  };
  const Entry* Find(const std::string& name) const;
  // Read's work; may leave partial output behind on failure.
  bool Extract(const std::string& name, std::string* contents) const;

  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::string password_;
  std::vector<Entry> entries_;
};

}  // namespace Skin
