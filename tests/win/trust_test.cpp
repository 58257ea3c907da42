// Caller and core signature trust, with real Authenticode signatures made for this build.
#include <gtest/gtest.h>

#include "common/platform.h"
#include "tests/win/harness.h"
#include "service/trust.h"

namespace varnelo {
namespace test {
namespace {

const char kUnauthorized[] = "error=unauthorized caller\nerror_code=13\nok=0\n\n";

TEST(CallerTrust, EveryKindOfCallerIsJudgedAndLogged) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  const struct {
    const wchar_t* identity;
    const char* rejection;  // null when accepted
  } cases[] = {
      {L"publisher", nullptr},
      {L"longer", nullptr},  // the publisher text inside a longer name
      {L"other", "caller file signed by unexpected publisher"},
      {L"lowercase", "caller file signed by unexpected publisher"},
      {L"none", "caller file signature is invalid or missing"},
      {L"tampered", "caller file signature is invalid or missing"},
      {L"untrusted", "caller file signature is invalid or missing"},  // the root is not trusted
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.identity));
    Child client(QuoteArgument(ClientExe(c.identity)) + L" send cmd=ping\\n\\n");
    ASSERT_EQ(client.Wait(30000), 0u);
    EXPECT_EQ(client.Output(), c.rejection ? kUnauthorized : kPong63);
    const std::string pid = std::to_string(client.pid());
    const auto log = service.LogMessages();
    EXPECT_EQ(CountContaining(log, "conn pid=" + pid + " cmd=ping"), 1u);
    EXPECT_EQ(CountContaining(log, "rejected pid=" + pid + (c.rejection ? ": " + std::string(c.rejection) : "")),
              c.rejection ? 1u : 0u);
  }
  // Without cmd nobody is checked: an unsigned caller hears "missing cmd".
  EXPECT_EQ(RunToEnd(QuoteArgument(ClientExe(L"none")) + L" send a=1\\n\\n").output,
            "error=missing cmd\nerror_code=11\nok=0\n\n");
}

// Capabilities 63 and 127 are asserted by every exchange with an unsigned or a signed service.
TEST(CoreSignatureEnforcement, UnsignedServiceSaysSoOnceSignedOneNever) {
  {
    ConsoleService service;
    ASSERT_TRUE(service.ready());
    EXPECT_EQ(Exchange("cmd=ping\n\n"), kPong63);
    EXPECT_EQ(CountContaining(service.LogMessages(), "core signature enforcement disabled: service binary is "
                                                     "not Varnelo-signed (file signature is invalid or missing)"),
              1u);
  }
  ConsoleService signedService(BinDir() + L"release\\VarneloService.exe");
  ASSERT_TRUE(signedService.ready());
  EXPECT_EQ(Exchange("cmd=ping\n\n"), "capabilities=127\nok=1\npong=1\nprotocol=2\n\n");
  EXPECT_EQ(CountContaining(signedService.LogMessages(), "enforcement disabled"), 0u);
}

TEST(FileSignature, ReasonsAndBuffers) {
  char reason[64] = "untouched";
  EXPECT_FALSE(VerifyFileSignature(nullptr, reason, sizeof(reason)));
  EXPECT_STREQ(reason, "empty file path");
  EXPECT_FALSE(VerifyFileSignature(L"", reason, sizeof(reason)));
  EXPECT_FALSE(VerifyFileSignature(ClientExe(L"other").c_str(), reason, sizeof(reason)));
  EXPECT_STREQ(reason, "file signed by unexpected publisher");
  EXPECT_FALSE(VerifyFileSignature((BinDir() + L"no-such.exe").c_str(), reason, sizeof(reason)));
  EXPECT_STREQ(reason, "file signature is invalid or missing");

  char kept[32] = "kept";
  EXPECT_TRUE(VerifyFileSignature(GetOwnModulePath().c_str(), kept, sizeof(kept)));
  EXPECT_STREQ(kept, "kept");  // success leaves the buffer alone
}

}  // namespace
}  // namespace test
}  // namespace varnelo
