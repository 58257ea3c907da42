// The toolkit's Windows-free readers: the zip archive and the XML layout parser.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "toolkit/skin_values.h"
#include "toolkit/xml_parser.h"
#include "toolkit/zip_archive.h"

namespace Skin {
namespace {

void Put16(std::string* s, uint16_t v) { s->push_back(char(v & 0xFF)), s->push_back(char(v >> 8)); }
void Put32(std::string* s, uint32_t v) { Put16(s, uint16_t(v & 0xFFFF)), Put16(s, uint16_t(v >> 16)); }

// A zip with one stored and one deflated entry, as any zip tool writes them.
std::string MakeZip(const std::string& storedName, const std::string& stored, const std::string& deflatedName,
                    const std::string& plain) {
  std::string packed(compressBound(plain.size()) + 16, '\0');
  z_stream z = {};
  deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  z.avail_in = uInt(plain.size());
  z.next_out = reinterpret_cast<Bytef*>(&packed[0]);
  z.avail_out = uInt(packed.size());
  deflate(&z, Z_FINISH);
  packed.resize(z.total_out);
  deflateEnd(&z);

  struct Item { std::string name, data; uint16_t method; uint32_t size, crc, offset; };
  Item items[] = {{storedName, stored, 0, uint32_t(stored.size()), 0, 0},
                  {deflatedName, packed, 8, uint32_t(plain.size()), 0, 0}};
  items[0].crc = crc32(0, reinterpret_cast<const Bytef*>(stored.data()), uInt(stored.size()));
  items[1].crc = crc32(0, reinterpret_cast<const Bytef*>(plain.data()), uInt(plain.size()));
  std::string zip;
  for (Item& it : items) {
    it.offset = uint32_t(zip.size());
    Put32(&zip, 0x04034b50); Put16(&zip, 20); Put16(&zip, 0); Put16(&zip, it.method); Put32(&zip, 0);
    Put32(&zip, it.crc); Put32(&zip, uint32_t(it.data.size())); Put32(&zip, it.size);
    Put16(&zip, uint16_t(it.name.size())); Put16(&zip, 0);
    zip += it.name + it.data;
  }
  const uint32_t directory = uint32_t(zip.size());
  for (const Item& it : items) {
    Put32(&zip, 0x02014b50); Put16(&zip, 20); Put16(&zip, 20); Put16(&zip, 0); Put16(&zip, it.method);
    Put32(&zip, 0); Put32(&zip, it.crc); Put32(&zip, uint32_t(it.data.size())); Put32(&zip, it.size);
    Put16(&zip, uint16_t(it.name.size())); Put16(&zip, 0); Put16(&zip, 0); Put16(&zip, 0); Put16(&zip, 0);
    Put32(&zip, 0); Put32(&zip, it.offset);
    zip += it.name;
  }
  const uint32_t directorySize = uint32_t(zip.size()) - directory;
  Put32(&zip, 0x06054b50); Put16(&zip, 0); Put16(&zip, 0); Put16(&zip, 2); Put16(&zip, 2);
  Put32(&zip, directorySize); Put32(&zip, directory); Put16(&zip, 0);
  return zip;
}

TEST(ZipArchive, ReadsStoredAndDeflatedEntriesWithAnyPassword) {
  const std::string layout(3000, 'x');
  const std::string zip = MakeZip("img/close.png", "\x89PNG....", "main.xml", "<Window>" + layout + "</Window>");
  CZipArchive archive;
  ASSERT_TRUE(archive.Open(zip.data(), zip.size(), "HbTqwKeZ"));  // entries are not encrypted
  std::string contents;
  ASSERT_TRUE(archive.Read("main.xml", &contents));
  EXPECT_EQ(contents, "<Window>" + layout + "</Window>");
  ASSERT_TRUE(archive.Read("img\\close.png", &contents));  // either separator
  EXPECT_EQ(contents, "\x89PNG....");
  EXPECT_FALSE(archive.Read("missing.png", &contents));
}

TEST(ZipArchive, DamagedArchivesFailCleanly) {
  const std::string zip = MakeZip("a", "stored-bytes", "b", std::string(500, 'q'));
  CZipArchive archive;
  std::string contents;
  // Every truncation: opening or reading fails, nothing reads out of bounds (ASan watches).
  for (size_t cut = 0; cut < zip.size(); ++cut) {
    const std::string part = zip.substr(0, cut);
    if (archive.Open(part.data(), part.size(), "")) archive.Read("b", &contents);
  }
  ASSERT_TRUE(archive.Open(zip.data(), zip.size(), ""));
  ASSERT_TRUE(archive.Read("a", &contents));
  std::string corrupt = zip;
  corrupt[30 + 1 + 3] ^= 0x01;  // one byte of "a"'s stored data: the CRC check refuses it
  ASSERT_TRUE(archive.Open(corrupt.data(), corrupt.size(), ""));
  EXPECT_FALSE(archive.Read("a", &contents));
  EXPECT_FALSE(archive.Open(nullptr, 0, ""));
}

// The fuzzing seed holds one deflated entry under the traditional encryption with the skin's
// password, as an archiving tool writes it.
TEST(ZipArchive, DecryptsTraditionalEncryptionAndLeavesNothingOnFailure) {
  std::ifstream file(VARNELO_FUZZ_SEEDS "/zip/encrypted-deflated", std::ios::binary);
  const std::string zip((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(zip.empty());
  CZipArchive archive;
  std::string contents;
  ASSERT_TRUE(archive.Open(zip.data(), zip.size(), "HbTqwKeZ"));
  ASSERT_TRUE(archive.Read("main.xml", &contents));
  EXPECT_EQ(contents.substr(0, 44), "<?xml version=\"1.0\"?><Window size=\"408,310\">");

  ASSERT_TRUE(archive.Open(zip.data(), zip.size(), "wrong"));
  contents = "left over";
  EXPECT_FALSE(archive.Read("main.xml", &contents));
  EXPECT_EQ(contents, "");
}

TEST(XmlParser, LayoutElementsAttributesAndEntities) {
  XmlElement root;
  std::string error;
  ASSERT_TRUE(ParseXml("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- skin -->\n<Window size=\"408,310\">"
                       "<Font name='\xE5\xBE\xAE\xE8\xBD\xAF' />text is ignored<VerticalLayout>"
                       "<Label text=\"a &amp; b &lt;&#x4E2D;&#20013;&gt;\"/></VerticalLayout></Window>",
                       &root, &error))
      << error;
  EXPECT_EQ(root.name, "Window");
  ASSERT_NE(root.Attribute("size"), nullptr);
  EXPECT_EQ(*root.Attribute("size"), "408,310");
  ASSERT_EQ(root.children.size(), 2u);
  EXPECT_EQ(*root.children[0].Attribute("name"), "\xE5\xBE\xAE\xE8\xBD\xAF");
  EXPECT_EQ(*root.children[1].children[0].Attribute("text"), "a & b <\xE4\xB8\xAD\xE4\xB8\xAD>");
  EXPECT_EQ(root.Attribute("missing"), nullptr);

  for (const char* bad : {"", "<a>", "<a></b>", "<a x=1/>", "<a x='1' x='2'/>", "<a/><b/>", "<a x='&bogus;'/>",
                          "<a x='&#0;'/>", "<a x='&#xD800;'/>", "<a x='<'/>"}) {
    EXPECT_FALSE(ParseXml(bad, &root, &error)) << bad;
  }
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "<a>";
  EXPECT_FALSE(ParseXml(deep, &root, &error));  // refused, not recursed into
}

TEST(SkinValues, ColoursAndSides) {
  uint32_t argb = 0;
  ASSERT_TRUE(ParseColor("fff0543f", &argb));
  EXPECT_EQ(argb, 0xFFF0543Fu);
  EXPECT_TRUE(ParseColor("#FFE0E0E0", &argb));
  EXPECT_FALSE(ParseColor("f0543f", &argb));
  EXPECT_FALSE(ParseColor("fff0543g", &argb));
  const Sides padding = ParseSides("2,0,2");
  EXPECT_EQ(padding.left, 2);
  EXPECT_EQ(padding.right, 2);
  EXPECT_EQ(padding.bottom, 0);
  EXPECT_EQ(ParseSides("10").left, 10);
}

}  // namespace
}  // namespace Skin
