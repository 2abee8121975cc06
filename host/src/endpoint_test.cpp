#include "endpoint.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace karvo {
namespace {

namespace fs = std::filesystem;

struct Expect {
  const char* text;
  int port;  // -1: the file is unusable
  const char* token = "";
  const char* exe = nullptr;
};

TEST(EndpointFile, ParsingTable) {
  const Expect cases[] = {
      {R"({"port":8080,"token":"t"})", 8080, "t"},
      {R"( {"token":"t","port":8080,"other":[1]} )" "\r\n", 8080, "t"},
      {R"({"port":8080,"token":"t","exe":"/opt/karvo/bin/karvo"})", 8080, "t", "/opt/karvo/bin/karvo"},
      {R"({"port":8080,"token":"t","exe":null})", 8080, "t"},
      {R"({"port":8080,"token":"t","exe":5})", 8080, "t"},
      {R"({"port":8080,"token":"t","exe":{"a":1}})", 8080, "t"},
      {R"({"port":8080,"token":""})", 8080, ""},
      {R"({"port":1,"token":"ü \"x\""})", 1, "ü \"x\""},
      {R"({"port":65535,"token":"t"})", 65535, "t"},
      {R"({"port":8080,"token":"a","token":"b"})", 8080, "b"},
      // A port that is not a plain integer from 1 to 65535 makes the file unusable, so that a
      // malformed file can never send the token to another port.
      {R"({"port":70000,"token":"t"})", -1},
      {R"({"port":65536,"token":"t"})", -1},
      {R"({"port":0,"token":"t"})", -1},
      {R"({"port":-1,"token":"t"})", -1},
      {R"({"port":-0,"token":"t"})", -1},
      {R"({"port":"8080","token":"t"})", -1},
      {R"({"port":8080.0,"token":"t"})", -1},
      {R"({"port":8e3,"token":"t"})", -1},
      {R"({"port":true,"token":"t"})", -1},
      {R"({"port":18446744073709551616,"token":"t"})", -1},
      {R"({"Port":8080,"token":"t"})", -1},
      {R"({"port":8080})", -1},
      {R"({"port":8080,"token":5})", -1},
      {R"({"port":8080,"token":null})", -1},
      {R"([{"port":8080,"token":"t"}])", -1},
      {R"("port")", -1},
      {R"({"port":8080,"token":"t"}{"port":1,"token":"u"})", -1},
      {"\xEF\xBB\xBF{\"port\":8080,\"token\":\"t\"}", -1},
      {"{\"port\":8080,\"token\":\"\xFF\"}", -1},
      {R"({"port":8080,"token":"t")", -1},
      {"", -1},
  };
  for (const Expect& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<IpcInfo> info = parse_ipc_info(c.text);
    if (c.port < 0) {
      EXPECT_FALSE(info.has_value());
      continue;
    }
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->port, c.port);
    EXPECT_EQ(info->token, c.token);
    EXPECT_EQ(info->exe.has_value(), c.exe != nullptr);
    if (c.exe && info->exe) {
      EXPECT_EQ(*info->exe, c.exe);
    }
  }
}

class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/karvo-endpoint-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(ScratchDir, DataDirFollowsHome) {
  ::setenv("HOME", dir_.c_str(), 1);
  EXPECT_EQ(data_dir(), dir_.string() + "/Library/Application Support/com.karvo.app");

  // An empty HOME falls back to the password database.
  ::setenv("HOME", "", 1);
  const passwd* pw = ::getpwuid(::getuid());
  ASSERT_NE(pw, nullptr);
  std::string home = pw->pw_dir;
  if (home.back() != '/') home += '/';
  EXPECT_EQ(data_dir(), home + "Library/Application Support/com.karvo.app");
  ::unsetenv("HOME");
  EXPECT_EQ(data_dir(), home + "Library/Application Support/com.karvo.app");
}

TEST_F(ScratchDir, ReadsTheFileAfreshEachTime) {
  ::setenv("HOME", dir_.c_str(), 1);
  EXPECT_FALSE(read_ipc_info().has_value());  // no data directory at all

  const fs::path data = dir_ / "Library/Application Support/com.karvo.app";
  fs::create_directories(data);
  EXPECT_FALSE(read_ipc_info().has_value());  // no file

  std::ofstream(data / "ipc.json") << R"({"port":4000,"token":"first"})";
  auto info = read_ipc_info();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->port, 4000);
  EXPECT_EQ(info->token, "first");

  std::ofstream(data / "ipc.json", std::ios::trunc) << R"({"port":4001,"token":"second","exe":"/x"})";
  info = read_ipc_info();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->port, 4001);
  EXPECT_EQ(info->token, "second");
  EXPECT_EQ(info->exe, "/x");

  // Up to 64 KiB a file is read; one byte more makes it unusable.
  const std::string valid = R"({"port":4002,"token":"third"})";
  std::ofstream(data / "ipc.json", std::ios::trunc) << valid << std::string(64 * 1024 - valid.size(), ' ');
  info = read_ipc_info();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->port, 4002);
  std::ofstream(data / "ipc.json", std::ios::trunc) << valid << std::string(64 * 1024 + 1 - valid.size(), ' ');
  EXPECT_FALSE(read_ipc_info().has_value());

  // A directory or a FIFO in the file's place is unusable, and reading never blocks on it.
  fs::remove(data / "ipc.json");
  ASSERT_EQ(::mkfifo((data / "ipc.json").c_str(), 0600), 0);
  EXPECT_FALSE(read_ipc_info().has_value());
  fs::remove(data / "ipc.json");
  fs::create_directory(data / "ipc.json");
  EXPECT_FALSE(read_ipc_info().has_value());
}

}  // namespace
}  // namespace karvo
