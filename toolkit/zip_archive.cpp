#include "toolkit/zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <utility>

namespace Skin {

namespace {

constexpr std::uint32_t kEndOfDirectorySignature = 0x06054b50;
constexpr std::uint32_t kDirectoryEntrySignature = 0x02014b50;
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::size_t kEndOfDirectorySize = 22;
constexpr std::size_t kDirectoryEntrySize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kEncryptionHeaderSize = 12;
constexpr std::size_t kMaxCommentSize = 0xFFFF;     // the end record holds the length in 16 bits
constexpr std::uint32_t kMaxEntrySize = 64u << 20;  // far above any skin file; bounds memory
constexpr std::uint16_t kFlagEncrypted = 1;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;

std::uint16_t Read16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Read32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::string NormalizeName(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

// Traditional PKWARE encryption keys.
class ZipCryptoKeys {
 public:
  explicit ZipCryptoKeys(const std::string& password) {
    for (char c : password) Update(static_cast<unsigned char>(c));
  }
  unsigned char Decrypt(unsigned char c) {
    // Unsigned 32-bit throughout: 16-bit operands would be promoted to int, whose product
    // overflows.
    const std::uint32_t temp = (keys_[2] | 2u) & 0xFFFFu;
    const unsigned char plain = c ^ static_cast<unsigned char>((temp * (temp ^ 1u)) >> 8);
    Update(plain);
    return plain;
  }

 private:
  static std::uint32_t Crc(std::uint32_t crc, unsigned char b) {
    const unsigned char byte = b;
    return static_cast<std::uint32_t>(crc32(crc ^ 0xFFFFFFFFu, &byte, 1) ^ 0xFFFFFFFFu);
  }
  void Update(unsigned char c) {
    keys_[0] = Crc(keys_[0], c);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = Crc(keys_[2], static_cast<unsigned char>(keys_[1] >> 24));
  }
  std::uint32_t keys_[3] = {305419896u, 591751049u, 878082192u};
};

bool Inflate(const unsigned char* input, std::size_t input_size, std::uint32_t expected_size,
             std::string* out) {
  out->assign(expected_size, '\0');
  if (expected_size == 0) return true;
  z_stream stream = {};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(input);
  stream.avail_in = static_cast<uInt>(input_size);
  stream.next_out = reinterpret_cast<Bytef*>(&(*out)[0]);
  stream.avail_out = expected_size;
  const int result = inflate(&stream, Z_FINISH);
  const bool complete = result == Z_STREAM_END && stream.total_out == expected_size;
  inflateEnd(&stream);
  return complete;
}

}  // namespace

bool CZipArchive::Open(const void* data, std::size_t size, const std::string& password) {
  data_ = nullptr;
  entries_.clear();
  password_ = password;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  if (bytes == nullptr || size < kEndOfDirectorySize) return false;

  // The end record sits before an archive comment of at most kMaxCommentSize bytes.
  std::size_t end = size - kEndOfDirectorySize;
  const std::size_t lowest = size > kEndOfDirectorySize + kMaxCommentSize
                                 ? size - kEndOfDirectorySize - kMaxCommentSize
                                 : 0;
  while (Read32(bytes + end) != kEndOfDirectorySignature) {
    if (end == lowest) return false;
    --end;
  }
  const std::uint16_t count = Read16(bytes + end + 10);
  const std::uint32_t directory_size = Read32(bytes + end + 12);
  const std::uint32_t directory_offset = Read32(bytes + end + 16);
  if (directory_offset > end || directory_size > end - directory_offset) return false;

  std::size_t pos = directory_offset;
  const std::size_t directory_end = directory_offset + directory_size;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (directory_end - pos < kDirectoryEntrySize ||
        Read32(bytes + pos) != kDirectoryEntrySignature)
      return false;
    const unsigned char* h = bytes + pos;
    const std::size_t name_length = Read16(h + 28), extra_length = Read16(h + 30),
                      comment_length = Read16(h + 32);
    const std::size_t entry_length =
        kDirectoryEntrySize + name_length + extra_length + comment_length;
    if (directory_end - pos < entry_length) return false;
    Entry entry;
    entry.flags = Read16(h + 8);
    entry.method = Read16(h + 10);
    entry.crc = Read32(h + 16);
    entry.compressed_size = Read32(h + 20);
    entry.size = Read32(h + 24);
    entry.local_header_offset = Read32(h + 42);
    entry.name = NormalizeName(
        std::string(reinterpret_cast<const char*>(h + kDirectoryEntrySize), name_length));
    entries_.push_back(std::move(entry));
    pos += entry_length;
  }
  data_ = bytes;
  size_ = size;
  return true;
}

const CZipArchive::Entry* CZipArchive::Find(const std::string& name) const {
  const std::string wanted = NormalizeName(name);
  for (const Entry& entry : entries_) {
    if (entry.name == wanted) return &entry;
  }
  return nullptr;
}

bool CZipArchive::Read(const std::string& name, std::string* contents) const {
  contents->clear();
  std::string extracted;
  if (!Extract(name, &extracted)) return false;
  *contents = std::move(extracted);
  return true;
}

bool CZipArchive::Extract(const std::string& name, std::string* contents) const {
  const Entry* entry = data_ ? Find(name) : nullptr;
  if (entry == nullptr || entry->size > kMaxEntrySize) return false;
  const std::size_t header = entry->local_header_offset;
  if (header > size_ || size_ - header < kLocalHeaderSize ||
      Read32(data_ + header) != kLocalHeaderSignature) {
    return false;
  }
  const std::size_t data_offset =
      header + kLocalHeaderSize + Read16(data_ + header + 26) + Read16(data_ + header + 28);
  if (data_offset > size_ || size_ - data_offset < entry->compressed_size) return false;

  std::string raw(reinterpret_cast<const char*>(data_ + data_offset), entry->compressed_size);
  if (entry->flags & kFlagEncrypted) {
    if (raw.size() < kEncryptionHeaderSize) return false;
    ZipCryptoKeys keys(password_);
    for (char& c : raw) c = static_cast<char>(keys.Decrypt(static_cast<unsigned char>(c)));
    raw.erase(0, kEncryptionHeaderSize);
  }
  const unsigned char* input = reinterpret_cast<const unsigned char*>(raw.data());
  if (entry->method == kMethodStored) {
    if (raw.size() != entry->size) return false;
    contents->assign(raw);
  } else if (entry->method == kMethodDeflated) {
    if (!Inflate(input, raw.size(), entry->size, contents)) return false;
  } else {
    return false;
  }
  const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(contents->data()),
                          static_cast<uInt>(contents->size()));
  return crc == entry->crc;  // a wrong password or damaged data ends here
}

}  // namespace Skin
