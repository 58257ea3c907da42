#include "service/request.h"

#include <gtest/gtest.h>

#include <string>

namespace varnelo {
namespace {

FrameState Frame(const std::string& bytes) { return CheckFrame(bytes.data(), bytes.size()); }
RequestMap Parse(const std::string& bytes) { return ParseRequest(bytes.data(), bytes.size()); }

TEST(Framing, EndMarkersAreJudgedOnlyAtTheTail) {
  EXPECT_EQ(Frame("cmd=ping\n\n"), FrameState::kComplete);
  EXPECT_EQ(Frame("cmd=ping\r\n\r\n"), FrameState::kComplete);
  EXPECT_EQ(Frame("cmd=ping\n"), FrameState::kNeedMore);       // a lone LF is not the end
  EXPECT_EQ(Frame("cmd=ping\r\n"), FrameState::kNeedMore);
  EXPECT_EQ(Frame("a=1\n\ncmd=ping"), FrameState::kNeedMore);  // empty line in the middle
  EXPECT_EQ(Frame("\n\n"), FrameState::kComplete);
  EXPECT_EQ(Frame("\n"), FrameState::kNeedMore);
  EXPECT_EQ(Frame(""), FrameState::kNeedMore);
  EXPECT_EQ(Frame("x\r\n\n"), FrameState::kComplete);          // its last two bytes are LF LF
  EXPECT_EQ(Frame("x\n\r\n"), FrameState::kNeedMore);
}

TEST(Framing, BufferBoundaryAt4096Bytes) {
  std::string exact(kRequestBufferSize - 2, 'a');
  exact += "\n\n";
  EXPECT_EQ(Frame(exact), FrameState::kComplete);
  const std::string full(kRequestBufferSize, 'a');
  EXPECT_EQ(Frame(full), FrameState::kTooLarge);
  EXPECT_EQ(Frame(full.substr(1)), FrameState::kNeedMore);
}

TEST(Parser, LinesKeysAndValuesAreTakenVerbatim) {
  const RequestMap request = Parse(std::string("a=1\n\ncmd=ping\n\n"));
  EXPECT_EQ(request, (RequestMap{{"a", "1"}, {"cmd", "ping"}}));

  EXPECT_EQ(Parse("cmd = ping\n\n"), (RequestMap{{"cmd ", " ping"}}));
  EXPECT_EQ(Parse("x=1=2\n=5\nnoequals\n\n"), (RequestMap{{"x", "1=2"}, {"", "5"}}));
  EXPECT_EQ(Parse("cmd=status\ncmd=ping\n\n"), (RequestMap{{"cmd", "ping"}}));
  EXPECT_EQ(Parse("k=\r\n\r\n\n\rv=2"), (RequestMap{{"k", ""}, {"v", "2"}}));

  const std::string withNul("k=a\0b\n\0=z\n\n", 11);
  const RequestMap nul = Parse(withNul);
  ASSERT_EQ(nul.size(), 2u);
  EXPECT_EQ(nul.at("k"), std::string("a\0b", 3));
  EXPECT_EQ(nul.at(std::string("\0", 1)), "z");
}

TEST(Writer, KeysComeOutInUnsignedByteOrder) {
  ResponseMap response;
  response["ok"] = "1";
  response["\xC3\xA9"] = "high";  // bytes >= 0x80 sort after ASCII
  response["capabilities"] = "127";
  response["Z"] = "upper";
  EXPECT_EQ(FormatResponse(response), "Z=upper\ncapabilities=127\nok=1\n\xC3\xA9=high\n\n");
  EXPECT_EQ(FormatResponse(ResponseMap{}), "\n");
  EXPECT_EQ(FormatResponse(MakeErrorResponse("x", -7)), "error=x\nerror_code=-7\nok=0\n\n");
}

}  // namespace
}  // namespace varnelo
