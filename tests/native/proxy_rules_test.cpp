#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "service/watchdog/proxy_rules.h"

namespace varnelo {
namespace {

TEST(StaleAutoConfigUrl, CorePathOrLocalHostOnCorePort) {
  const struct {
    const wchar_t* url;
    bool stale;
  } cases[] = {
      {L"http://example.com/Commands/PAC", true},  // the path alone decides, any case
      {L"HTTP://EXAMPLE.COM/COMMANDS/PAC?x=1", true},
      {L"http://127.0.0.1:11719/proxy.pac", true},
      {L"http://LOCALHOST:11728/p.pac", true},
      {L"http://127.0.0.1:11729/p.pac", false},   // one past the range
      {L"http://localhost:117190/p.pac", false},  // the whole run counts, not its first digits
      {L"http://127.0.0.1:8080/p.pac", false},
      {L"http://127.0.0.1:11718/p.pac", false},
      {L"http://127.0.0.1:8080/a?next=127.0.0.1:11720", true},  // a later occurrence decides
      {L"http://localhost:/p.pac", false},
      {L"http://localhost:x11719/p.pac", false},
      {L"http://127.0.0.1:/a?b=localhost:11720", true},  // host rules are tried in turn
      {L"http://127.0.0.1:011719/p.pac", true},          // the value counts, leading zeros included
      // 4294979015 wraps to 11719 in 32 bits; a third party's PAC on that "port" must survive.
      {L"http://127.0.0.1:4294979015/p.pac", false},
      {L"http://localhost:18446744073709563335/p.pac", false},  // wraps to 11719 in 64 bits
      {L"http://127.0.0.1:11719", true},                        // the run may end the text
      {L"127.0.0.1:", false},
      {L"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsStaleAutoConfigUrl(c.url), c.stale)
        << std::string(c.url, c.url + std::wcslen(c.url));
  }
  const std::wstring long_run = L"http://127.0.0.1:" + std::wstring(5000, L'9');
  EXPECT_FALSE(IsStaleAutoConfigUrl(long_run));
}

}  // namespace
}  // namespace varnelo
