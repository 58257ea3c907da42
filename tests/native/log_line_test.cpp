#include "service/log_line.h"
#include "service/log_budget.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

namespace varnelo {
namespace {

const LogStamp kStamp = {2026, 12, 5, 19, 7, 42, 123};

std::string Line(const LogStamp& stamp, const char* format, ...) {
  char buffer[kLogLineBufferSize];
  va_list args;
  va_start(args, format);
  const size_t length = FormatLogLine(buffer, stamp, format, args);
  va_end(args);
  return std::string(buffer, length);
}

TEST(LogLine, StampMessageAndCrLf) {
  EXPECT_EQ(Line(kStamp, "service starting"), "[2026-12-05 19:07:42.123] service starting\r\n");
  EXPECT_EQ(Line(LogStamp{987, 1, 2, 3, 4, 5, 6}, "conn pid=%lu cmd=%s", 42ul, "ping"),
            "[0987-01-02 03:04:05.006] conn pid=42 cmd=ping\r\n");
  EXPECT_EQ(Line(kStamp, "%s", ""), "[2026-12-05 19:07:42.123] \r\n");
  // A message that is only a non-ASCII path keeps it whole.
  EXPECT_EQ(Line(kStamp, "%ls", L"C:\\Users\\\u5f20\u4f1f\\"),
            "[2026-12-05 19:07:42.123] C:\\Users\\\xE5\xBC\xA0\xE4\xBC\x9F\\\r\n");
}

TEST(LogLine, LongMessagesAreCutTo2047Bytes) {
  const std::string stamp = "[2026-12-05 19:07:42.123] ";
  EXPECT_EQ(Line(kStamp, "%s", std::string(3000, 'x').c_str()),
            stamp + std::string(2019, 'x') + "\r\n");
  // 2019 bytes fit exactly; one more would be cut.
  EXPECT_EQ(Line(kStamp, "%s", std::string(2019, 'y').c_str()).size(), 2047u);
  EXPECT_EQ(Line(kStamp, "%s", std::string(2018, 'y').c_str()).size(), 2046u);
}

TEST(LogLine, AbsurdStampStillLeavesRoomForCrLf) {
  const std::string line = Line(LogStamp{-2147483647 - 1, -1, -1, -1, -1, -1, -1}, "m");
  EXPECT_EQ(line.substr(line.size() - 3), "m\r\n");
}

TEST(LogLine, ControlsAndLineBreaksFromRequestsAreEscaped) {
  // C0 controls, DEL, NEL and the other C1 controls, U+2028/U+2029: every byte as \xHH.
  EXPECT_EQ(Line(kStamp, "cmd=%s",
                 "a\x1b[2Jb\x0b\x0c\r\nc\x7f\xc2\x85\xc2\x9f\xe2\x80\xa8\xe2\x80\xa9"
                 "d")
                .substr(26),
            "cmd=a\\x1B["
            "2Jb\\x0B\\x0C\\x0D\\x0Ac\\x7F\\xC2\\x85\\xC2\\x9F\\xE2\\x80\\xA8\\xE2\\x80\\xA9d\r\n");
  // Printable non-ASCII stays; stray, overlong and surrogate encodings are escaped byte by byte.
  EXPECT_EQ(Line(kStamp, "%s", "\xe4\xb8\xad \xc2\xa0 \xf0\x9f\x98\x80 \\x").substr(26),
            "\xe4\xb8\xad \xc2\xa0 \xf0\x9f\x98\x80 \\x\r\n");
  EXPECT_EQ(Line(kStamp, "%s", "\x85|\xc0\x8a|\xed\xa0\x80|\xe2\x80").substr(26),
            "\\x85|\\xC0\\x8A|\\xED\\xA0\\x80|\\xE2\\x80\r\n");
  // Escaping grows the text; the cut never splits an escape.
  const std::string line = Line(kStamp, "%s", std::string(1000, '\n').c_str());
  EXPECT_EQ(line.size(), 26u + 2016u + 2u);
  EXPECT_EQ(line.substr(line.size() - 6), "\\x0A\r\n");
}

TEST(LogRotation, SizeThresholdAndBackoff) {
  EXPECT_FALSE(ShouldRotateLog(kLogRotateSize - 1, 1000, 0));
  EXPECT_TRUE(ShouldRotateLog(kLogRotateSize, 1000, 0));
  // A failed attempt at t=100000: nothing again for 60 s, then the first line after.
  EXPECT_FALSE(ShouldRotateLog(kLogRotateSize * 2, 110000, 100000));
  EXPECT_FALSE(ShouldRotateLog(kLogRotateSize * 2, 159999, 100000));
  EXPECT_TRUE(ShouldRotateLog(kLogRotateSize * 2, 160000, 100000));
}

TEST(UnauthenticatedLog, AFewEventsPerMinuteThenOneLineSaysHowManyWereLeftOut) {
  UnauthenticatedLogBudget budget;
  for (unsigned i = 0; i < kUnauthenticatedEventsPerWindow; ++i) {
    const auto decision = budget.Admit(1000 + i);
    EXPECT_TRUE(decision.log);
    EXPECT_EQ(decision.leftOut, 0u);
  }
  for (int i = 0; i < 500; ++i) EXPECT_FALSE(budget.Admit(2000 + i).log);
  EXPECT_FALSE(budget.Admit(1000 + kUnauthenticatedWindowMs - 1).log);
  const auto next = budget.Admit(1000 + kUnauthenticatedWindowMs);
  EXPECT_TRUE(next.log);
  EXPECT_EQ(next.leftOut, 501u);
  EXPECT_EQ(budget.Admit(1000 + kUnauthenticatedWindowMs + 1).leftOut, 0u);  // reported once
}

// A day of the worst lines a flood can make, at a thousand requests a second: less than one
// rotation, so the previous rotation's history is still there the next day.
TEST(UnauthenticatedLog, ADayOfFloodStaysUnderOneRotation) {
  const std::string junk(4090, '\x01');  // every byte written escaped, four times as long
  char line[kLogLineBufferSize];
  const auto lineBytes = [&line](const char* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t length = FormatLogLine(line, kStamp, format, args);
    va_end(args);
    return length;
  };
  const size_t perEvent =
      lineBytes("conn pid=%lu cmd=%s", 4294967295ul, LoggedCommand(junk).c_str()) +
      lineBytes("rejected pid=%lu: %s", 4294967295ul,
                "caller file signature is invalid or missing");
  const size_t perReport = lineBytes(
      "HandleConnection WARNING: lines of %llu unauthenticated connections left "
      "out (at most %u per %llu s)",
      18446744073709551615ull, 4294967295u, 18446744073709551615ull);
  UnauthenticatedLogBudget budget;
  std::uint64_t written = 0;
  for (std::uint64_t now = 1; now <= 86400ull * 1000; now += 1) {
    const auto decision = budget.Admit(now);
    if (decision.log) written += perEvent + (decision.leftOut != 0 ? perReport : 0);
  }
  EXPECT_LT(written, kLogRotateSize);
  EXPECT_EQ(LoggedCommand("ping"), "ping");
  EXPECT_EQ(LoggedCommand(std::string(31, 'a') + "\xE4\xB8\xAD"),
            std::string(31, 'a') + "... (34 bytes)");
}

}  // namespace
}  // namespace varnelo
