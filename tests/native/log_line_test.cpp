#include "service/log/log_line.h"
#include "service/log/log_budget.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

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

TEST(LogLine, EachLineIsItsStampItsMessageAndCrLf) {
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

TEST(LogRotation, RotatesFromFiveMiBButNotAgainWithinTheBackoff) {
  EXPECT_FALSE(ShouldRotateLog(kLogRotateSize - 1, 1000, 0));
  EXPECT_TRUE(ShouldRotateLog(kLogRotateSize, 1000, 0));
  // A failed attempt at t=100000: nothing again for 60 s, then the first line after.
  EXPECT_FALSE(ShouldRotateLog(kLogRotateSize * 2, 110000, 100000));
  EXPECT_FALSE(ShouldRotateLog(kLogRotateSize * 2, 159999, 100000));
  EXPECT_TRUE(ShouldRotateLog(kLogRotateSize * 2, 160000, 100000));
}

using LeftOut = UnauthenticatedLogBudget::LeftOut;

std::vector<std::string> Described(const std::vector<LeftOut>& ended) {
  std::vector<std::string> text;
  for (const LeftOut& e : ended) text.push_back(e.kind + "=" + std::to_string(e.count));
  return text;
}

// Each kind has its own few events per window: a flood of one kind leaves another its lines.
TEST(UnauthenticatedLog, AFloodOfOneKindCannotHideAnother) {
  UnauthenticatedLogBudget budget;
  std::vector<LeftOut> ended;
  for (unsigned i = 0; i < kUnauthenticatedEventsPerWindow; ++i)
    EXPECT_TRUE(budget.Admit("unsigned", 1000 + i, &ended)) << i;
  for (int i = 0; i < 500; ++i) EXPECT_FALSE(budget.Admit("unsigned", 2000 + i, &ended));
  for (unsigned i = 0; i < kUnauthenticatedEventsPerWindow; ++i)
    EXPECT_TRUE(budget.Admit("not local", 3000 + i, &ended)) << i;
  EXPECT_FALSE(budget.Admit("not local", 4000, &ended));
  EXPECT_TRUE(ended.empty());
  // Kinds past the limit share one budget, so new kinds cannot buy the flood more lines.
  for (size_t kind = 2; kind < kUnauthenticatedKinds; ++kind)
    EXPECT_TRUE(budget.Admit("kind " + std::to_string(kind), 5000, &ended));
  for (unsigned i = 0; i < kUnauthenticatedEventsPerWindow; ++i)
    EXPECT_TRUE(budget.Admit("new kind " + std::to_string(i), 6000, &ended)) << i;
  EXPECT_FALSE(budget.Admit("yet another kind", 7000, &ended));
}

// The count of what was left out is written when its window ends, by the next event of that kind
// or by the periodic report, whichever comes first, and once; at a stop every count is written.
TEST(UnauthenticatedLog, LeftOutCountsAreReportedWhenTheirWindowEnds) {
  UnauthenticatedLogBudget budget;
  std::vector<LeftOut> ended;
  for (unsigned i = 0; i < kUnauthenticatedEventsPerWindow + 3; ++i) budget.Admit("a", 100, &ended);
  for (unsigned i = 0; i < kUnauthenticatedEventsPerWindow + 5; ++i) budget.Admit("b", 200, &ended);
  EXPECT_TRUE(budget.TakeEnded(100 + kUnauthenticatedWindowMs - 1, false).empty());
  EXPECT_EQ(Described(budget.TakeEnded(100 + kUnauthenticatedWindowMs, false)),
            std::vector<std::string>{"a=3"});
  EXPECT_TRUE(budget.TakeEnded(100 + kUnauthenticatedWindowMs, false).empty());
  // The next "b" after its window reports the count before its own line.
  EXPECT_TRUE(budget.Admit("b", 200 + kUnauthenticatedWindowMs, &ended));
  EXPECT_EQ(Described(ended), std::vector<std::string>{"b=5"});
  EXPECT_TRUE(budget.TakeEnded(300 + kUnauthenticatedWindowMs, false).empty());
  for (unsigned i = 0; i < kUnauthenticatedEventsPerWindow + 2; ++i) budget.Admit("c", 400, &ended);
  EXPECT_EQ(Described(budget.TakeEnded(401, true)), std::vector<std::string>{"c=2"});
  EXPECT_TRUE(budget.TakeEnded(402, true).empty());
}

// A day of the worst lines a flood of every kind at once can make, twenty requests a second (any
// rate above the budget writes the same): less than one rotation, so the previous rotation's
// history is still there the next day.
TEST(UnauthenticatedLog, ADayOfFloodStaysUnderOneRotation) {
  const std::string junk(4090, '\x01');  // every byte written escaped, four times as long
  char line[kLogLineBufferSize];
  const auto line_bytes = [&line](const char* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t length = FormatLogLine(line, kStamp, format, args);
    va_end(args);
    return length;
  };
  const std::string longest_kind = "caller process ended before its request was judged";
  const size_t per_event =
      line_bytes("conn pid=%lu cmd=%s", 4294967295ul, LoggedCommand(junk).c_str()) +
      line_bytes("rejected pid=%lu: %s", 4294967295ul, longest_kind.c_str());
  const size_t per_report = line_bytes(
      "HandleConnection WARNING: lines of %llu unauthenticated connections left "
      "out (at most %u per %llu s): %s",
      18446744073709551615ull, 4294967295u, 18446744073709551615ull, longest_kind.c_str());
  std::vector<std::string> kinds;
  for (size_t kind = 0; kind < kUnauthenticatedKinds + 5; ++kind)
    kinds.push_back(longest_kind + std::to_string(kind));
  UnauthenticatedLogBudget budget;
  std::vector<LeftOut> ended;
  std::uint64_t written = 0;
  for (std::uint64_t now = 1; now <= 86400ull * 1000; now += 50) {
    ended.clear();
    written += budget.Admit(kinds[now % kinds.size()], now, &ended) ? per_event : 0;
    if (now % 5000 == 1) {
      const std::vector<LeftOut> reported = budget.TakeEnded(now, false);
      ended.insert(ended.end(), reported.begin(), reported.end());
    }
    written += ended.size() * per_report;
  }
  EXPECT_LT(written, kLogRotateSize);
}

// The command as logged: cut to its first bytes with its length, never inside a character, and
// whole whatever its bytes, a NUL (which would end the text) shown as the log shows control bytes.
TEST(UnauthenticatedLog, LoggedCommandShowsItsCutWhateverTheBytes) {
  EXPECT_EQ(LoggedCommand("ping"), "ping");
  EXPECT_EQ(LoggedCommand(std::string(31, 'a') + "\xE4\xB8\xAD"),
            std::string(31, 'a') + "... (34 bytes)");
  EXPECT_EQ(LoggedCommand(std::string("\0ping", 5)), "\\x00ping");
  EXPECT_EQ(LoggedCommand(std::string(40, '\0')), [] {
    std::string shown;
    for (int i = 0; i < 32; ++i) shown += "\\x00";
    return shown + "... (40 bytes)";
  }());
}

}  // namespace
}  // namespace varnelo
