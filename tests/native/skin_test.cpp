// The toolkit's Windows-free readers: the zip archive and the XML layout parser.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "toolkit/skin_values.h"
#include "toolkit/xml_parser.h"
#include "toolkit/zip_archive.h"

namespace Skin {
namespace {

std::string ReadFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(ZipArchive, ReadsTheShippedSkinArchive) {
  const std::string zip = ReadFile(VARNELO_SKIN_ZIP);
  ASSERT_FALSE(zip.empty());
  CZipArchive archive;
  ASSERT_TRUE(archive.Open(zip.data(), zip.size(), "HbTqwKeZ"));  // entries are not encrypted
  std::string contents;
  ASSERT_TRUE(archive.Read("main.xml", &contents));
  XmlElement root;
  std::string error;
  EXPECT_TRUE(ParseXml(contents, &root, &error)) << error;
  EXPECT_EQ(root.name, "Window");
  ASSERT_TRUE(archive.Read("img\\close.png", &contents));  // either separator
  EXPECT_EQ(contents.substr(0, 4), "\x89PNG");
  EXPECT_FALSE(archive.Read("missing.png", &contents));
}

// A stored entry "a" and a deflated one "b", as any zip tool writes them.
TEST(ZipArchive, StoredEntriesAreReadAndDamagedArchivesRefused) {
  const std::string zip = ReadFile(VARNELO_FUZZ_SEEDS "/zip/stored-and-deflated");
  CZipArchive archive;
  std::string contents;
  ASSERT_TRUE(archive.Open(zip.data(), zip.size(), ""));
  ASSERT_TRUE(archive.Read("a", &contents));
  EXPECT_EQ(contents, "stored bytes");
  ASSERT_TRUE(archive.Read("b", &contents));
  EXPECT_EQ(contents.size(), 192u);
  // Every truncation: opening or reading fails, nothing reads out of bounds (ASan watches).
  for (size_t cut = 0; cut < zip.size(); ++cut) {
    const std::string part = zip.substr(0, cut);
    if (archive.Open(part.data(), part.size(), "")) archive.Read("b", &contents);
  }
  std::string corrupt = zip;
  corrupt[30 + 1 + 3] ^= 0x01;  // one byte of "a"'s stored data: the CRC check refuses it
  ASSERT_TRUE(archive.Open(corrupt.data(), corrupt.size(), ""));
  EXPECT_FALSE(archive.Read("a", &contents));
  EXPECT_FALSE(archive.Open(nullptr, 0, ""));
}

// The fuzzing seed holds one deflated entry under the traditional encryption with the skin's
// password, as an archiving tool writes it.
TEST(ZipArchive, DecryptsTraditionalEncryptionAndLeavesNothingOnFailure) {
  const std::string zip = ReadFile(VARNELO_FUZZ_SEEDS "/zip/encrypted-deflated");
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

TEST(XmlParser, ElementsAttributesAndEntitiesReadAsWritten) {
  XmlElement root;
  std::string error;
  ASSERT_TRUE(
      ParseXml("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- skin -->\n<Window size=\"408,310\">"
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

  for (const char* bad : {"", "<a>", "<a></b>", "<a x=1/>", "<a x='1' x='2'/>", "<a/><b/>",
                          "<a x='&bogus;'/>", "<a x='&#0;'/>", "<a x='&#xD800;'/>", "<a x='<'/>"}) {
    EXPECT_FALSE(ParseXml(bad, &root, &error)) << bad;
  }
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "<a>";
  EXPECT_FALSE(ParseXml(deep, &root, &error));  // refused, not recursed into
}

TEST(SkinValues, ColoursTakeEightHexDigitsAndMissingSidesAreZero) {
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
