#include "service/protocol/request.h"

#include <gtest/gtest.h>

#include <string>

namespace varnelo {
namespace {

FrameState Frame(const std::string& bytes) { return CheckFrame(bytes.data(), bytes.size()); }
RequestMap Parse(const std::string& bytes) { return ParseRequest(bytes.data(), bytes.size()); }

TEST(Framing, EndMarkersAreJudgedOnlyAtTheTail) {
  for (const char* complete :
       {"cmd=ping\n\n", "cmd=ping\r\n\r\n", "\n\n", "x\r\n\n" /* last two bytes LF LF */}) {
    EXPECT_EQ(Frame(complete), FrameState::kComplete) << complete;
  }
  // A lone LF is not the end, nor is an empty line in the middle.
  for (const char* unfinished :
       {"cmd=ping\n", "cmd=ping\r\n", "a=1\n\ncmd=ping", "\n", "", "x\n\r\n"}) {
    EXPECT_EQ(Frame(unfinished), FrameState::kNeedMore) << unfinished;
  }
}

TEST(Framing, ARequestMayFillTheBufferExactlyButNotOverflowIt) {
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

  EXPECT_EQ(Parse(std::string("k=a\0b\n\0=z\n\n", 11)),
            (RequestMap{{"k", std::string("a\0b", 3)}, {std::string("\0", 1), "z"}}));
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
