#include "ipc_info.h"

#include "karvo_app.h"
#include "test_support.h"

namespace karvo::safari {
namespace {

TEST(IpcInfoParse, ReadsPortTokenAndOptionalExe) {
  struct Case {
    const char* contents;
    std::optional<std::uint16_t> port;  // nothing: the file is unusable
    const char* token;
    const char* exe;  // nullptr: no exe
  };
  const Case cases[] = {
      {R"({"port":8080,"token":"t"})", 8080, "t", nullptr},
      {" \n{\"token\":\"\",\"port\":1,\"exe\":\"/A.app/Contents/MacOS/A\",\"x\":[]}\n", 1, "",
       "/A.app/Contents/MacOS/A"},
      {R"({"port":65535,"token":"t","exe":null})", 65535, "t", nullptr},
      {R"({"port":8080,"token":"t","exe":5})", 8080, "t", nullptr},
      {R"({"port":8080,"token":"t","exe":{}})", 8080, "t", nullptr},
      {R"({"port":8080,"token":"\u00e9\"\\"})", 8080, "\u00e9\"\\", nullptr},
      // A port that is not an integer from 1 to 65535 makes the file unusable, fractions and booleans
      // included: cutting 8080.9 to 8080 or reading true as 1 would send the token to some other port.
      {R"({"port":8080.9,"token":"t"})", std::nullopt, "", nullptr},
      {R"({"port":8080.0,"token":"t"})", std::nullopt, "", nullptr},
      {R"({"port":8e3,"token":"t"})", std::nullopt, "", nullptr},
      {R"({"port":true,"token":"t"})", std::nullopt, "", nullptr},
      {R"({"port":false,"token":"t"})", std::nullopt, "", nullptr},
      {R"({"port":0,"token":"t"})", std::nullopt, "", nullptr},
      {R"({"port":65536,"token":"t"})", std::nullopt, "", nullptr},
      {R"({"port":-1,"token":"t"})", std::nullopt, "", nullptr},
      {R"({"port":18446744073709551615,"token":"t"})", std::nullopt, "", nullptr},
      {R"({"port":"8080","token":"t"})", std::nullopt, "", nullptr},
      {R"({"token":"t"})", std::nullopt, "", nullptr},
      {R"({"port":8080})", std::nullopt, "", nullptr},
      {R"({"port":8080,"token":5})", std::nullopt, "", nullptr},
      {R"({"port":8080,"token":null})", std::nullopt, "", nullptr},
      {R"([{"port":8080,"token":"t"}])", std::nullopt, "", nullptr},
      {R"("text")", std::nullopt, "", nullptr},
      {R"({"port":8080,"token":"t"}{})", std::nullopt, "", nullptr},
      {R"({"port":8080,"token":"t")", std::nullopt, "", nullptr},
      {"", std::nullopt, "", nullptr},
  };
  for (const Case& c : cases) {
    const auto info = IpcInfo::parse(c.contents);
    ASSERT_EQ(info.has_value(), c.port.has_value()) << c.contents;
    if (!info) continue;
    EXPECT_EQ(info->port(), *c.port) << c.contents;
    EXPECT_EQ(info->token(), c.token) << c.contents;
    EXPECT_EQ(info->exe(), c.exe != nullptr ? std::optional<std::string>(c.exe) : std::nullopt) << c.contents;
  }
}

TEST(IpcInfoParse, ANulByteAfterTheObjectMakesTheFileUnusable) {
  // As unusable as the object followed by anything else: what follows a NUL byte is not skipped.
  using namespace std::string_view_literals;
  EXPECT_FALSE(IpcInfo::parse("{\"port\":8080,\"token\":\"t\"}\0{\"port\":1}"sv));
  EXPECT_FALSE(IpcInfo::parse("{\"port\":8080,\"token\":\"t\"}\0"sv));
}

class SafariEndpointFile : public test::SafariTest {};

TEST_F(SafariEndpointFile, LiesUnderTheUserDatabaseHome) {
  // No "KarvoAppID" in the extension's bundle: the default identifier.
  EXPECT_EQ(KarvoApp::appID(), "com.karvo.app");
  EXPECT_EQ(KarvoApp::home(), home_.path());
  EXPECT_EQ(KarvoApp::ipcPath(), home_.path() + "/Library/Application Support/com.karvo.app/ipc.json");
  EXPECT_EQ(IpcInfo::read(), std::nullopt);
  ASSERT_TRUE(home_.write_ipc(R"({"port":4000,"token":"a"})"));
  ASSERT_TRUE(IpcInfo::read());
  EXPECT_EQ(IpcInfo::read()->port(), 4000);
  // Read afresh every time.
  ASSERT_TRUE(home_.write_ipc(R"({"port":4001,"token":"b"})"));
  EXPECT_EQ(IpcInfo::read()->token(), "b");
  // Up to 64 KiB a file is read; one byte more makes it unusable.
  const std::string valid = R"({"port":4002,"token":"c"})";
  ASSERT_TRUE(home_.write_ipc(valid + std::string(64 * 1024 - valid.size(), ' ')));
  ASSERT_TRUE(IpcInfo::read());
  EXPECT_EQ(IpcInfo::read()->port(), 4002);
  ASSERT_TRUE(home_.write_ipc(valid + std::string(64 * 1024 + 1 - valid.size(), ' ')));
  EXPECT_EQ(IpcInfo::read(), std::nullopt);
}

TEST_F(SafariEndpointFile, AUserEntryWithoutHomeFallsBackToTheProcessHome) {
  changeSettings([](platform::LinuxSettings& s) { s.userDatabaseHome = std::string(); });
  EXPECT_EQ(KarvoApp::home(), home_.path() + "/container");
  EXPECT_EQ(KarvoApp::ipcPath(),
            home_.path() + "/container/Library/Application Support/com.karvo.app/ipc.json");
}

}  // namespace
}  // namespace karvo::safari
