// KarvoSafari under load, through the stand-in extension host: many profiles sending at once, and a link
// dropped and made again thousands of times. Under ThreadSanitizer the extension host itself is checked
// for races (a report makes it fail and shows in its log).
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "extension_host.h"

#ifndef KARVO_SANITIZE_BUILD
#define KARVO_SANITIZE_BUILD ""
#endif

namespace karvo::safari::blackbox {
namespace {

using Clock = std::chrono::steady_clock;

// A count from the environment variable `name` when it holds a positive number, else `plain`, or
// `sanitized` under a sanitizer.
std::size_t countFromEnv(const char* name, std::size_t plain, std::size_t sanitized) {
  if (const char* text = std::getenv(name); text != nullptr && *text != '\0') {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (end != text && *end == '\0' && n > 0) return static_cast<std::size_t>(n);
  }
  return std::string_view(KARVO_SANITIZE_BUILD).empty() ? plain : sanitized;
}

// Open descriptors of a process.
std::size_t descriptorCount(pid_t pid) {
  std::size_t count = 0;
  if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(dir);
  }
  return count;
}

// What a sanitizer reports in the extension host's log.
void expectCleanLog(const std::string& log) {
  for (const char* report : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
    EXPECT_EQ(log.find(report), std::string::npos) << log.substr(0, 4000);
  }
}

std::string profileId(std::size_t p) {
  char text[37];
  std::snprintf(text, sizeof text, "%08zX-0000-4000-8000-%012zX", p + 1, p + 1);
  return text;
}

TEST(SafariLoad, EightProfilesSendingAtOnceGetEveryAnswerOnceAndInOrder) {
  constexpr std::size_t kProfiles = 8;
  const std::size_t perProfile = countFromEnv("KARVO_LOAD_REQUESTS", 1000, 1000);
  testkit::ScratchHome home;
  testkit::StandinApp app(home, {"--quiet"});
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home, {});

  // Request i of profile p is number i * kProfiles + p; all of them are handed over at once, the profiles'
  // requests interleaved. Each carries a message whose answer echoes it.
  const auto messageOf = [](std::size_t p, std::size_t i) {
    return Json{{"type", "req"},
                {"id", "p" + std::to_string(p) + "-" + std::to_string(i)},
                {"text", std::string(i % 97, static_cast<char>('a' + p)) + "é→\"\\"},
                {"i", i}};
  };
  std::string input;
  for (std::size_t i = 0; i < perProfile; ++i) {
    for (std::size_t p = 0; p < kProfiles; ++p) {
      const Json line = {{"n", i * kProfiles + p},
                         {"profile", {{"uuid", profileId(p)}}},
                         {"message", {{"op", "send"}, {"hello", {{"type", "hello"}}}, {"msg", messageOf(p, i)}}}};
      input += line.dump() + "\n";
    }
  }
  const auto start = Clock::now();
  ASSERT_TRUE(host.process().write_all(input));

  std::vector<std::size_t> next(kProfiles, 0);  // the next request each profile must answer
  std::size_t answered = 0;
  while (answered < kProfiles * perProfile) {
    const auto line = host.nextReply(60s);
    ASSERT_TRUE(line.has_value()) << answered << " answered; log:\n" << host.log().substr(0, 4000);
    const std::size_t n = (*line)["n"].get<std::size_t>();
    const std::size_t p = n % kProfiles;
    const std::size_t i = n / kProfiles;
    // Each profile's answers come in the order of its requests, each exactly once.
    ASSERT_EQ(i, next[p]) << "profile " << p << " answered request " << i << " out of turn";
    ++next[p];
    ++answered;
    const Json& reply = (*line)["items"][0]["message"];
    ASSERT_EQ(reply["ok"], true) << reply;
    const Json& messages = reply["messages"];
    ASSERT_TRUE(messages.is_array() && !messages.empty()) << reply;
    // The first request of a profile also brings the greeting's answer; nothing of another request comes.
    ASSERT_EQ(messages.size(), i == 0 ? 2U : 1U) << reply;
    const Json& answer = messages.back();
    EXPECT_EQ(answer["id"], messageOf(p, i)["id"]) << reply;
    EXPECT_EQ(answer["echo"], messageOf(p, i)) << reply;  // delivered unchanged
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(host.finish(), 0);
  EXPECT_FALSE(host.nextReply(1s).has_value());  // and nothing more
  host.process().sync_output();
  expectCleanLog(host.log());
  // One link per profile, never more.
  EXPECT_EQ(app.count_events([](std::string_view e) { return e.starts_with("accepted "); }), kProfiles);
  std::printf("KarvoSafari load: %zu profiles x %zu requests answered in %.1f s (%.0f requests/s)\n", kProfiles,
              perProfile, seconds, static_cast<double>(kProfiles * perProfile) / seconds);
}

TEST(SafariLoad, ApplicationKilledWhileProfilesSendStillAnswersEveryRequestOnce) {
  constexpr std::size_t kProfiles = 8;
  constexpr std::size_t kPerProfile = 1000;
  testkit::ScratchHome home;
  testkit::StandinApp app(home, {"--quiet"});
  ASSERT_TRUE(app.ok());
  ExtensionHost host(home, {});
  std::string input;
  for (std::size_t i = 0; i < kPerProfile; ++i) {
    for (std::size_t p = 0; p < kProfiles; ++p) {
      const Json msg = {{"type", "req"}, {"id", "p" + std::to_string(p) + "-" + std::to_string(i)}};
      input += Json{{"n", i * kProfiles + p},
                    {"profile", {{"uuid", profileId(p)}}},
                    {"message", {{"op", "send"}, {"hello", {{"type", "hello"}}}, {"msg", msg}}}}
                   .dump() +
               "\n";
    }
  }
  ASSERT_TRUE(host.process().write_all(input));

  // The application dies while requests of every profile are on their way; its endpoint file stays.
  std::vector<std::size_t> next(kProfiles, 0);
  std::size_t answered = 0;
  std::size_t ok = 0;
  while (answered < kProfiles * kPerProfile) {
    if (answered == kProfiles) {
      ASSERT_TRUE(app.process().kill(SIGKILL));
    }
    const auto line = host.nextReply(60s);
    ASSERT_TRUE(line.has_value()) << answered << " answered; log:\n" << host.log().substr(0, 4000);
    const std::size_t n = (*line)["n"].get<std::size_t>();
    ASSERT_EQ(n / kProfiles, next[n % kProfiles]) << "profile " << n % kProfiles << " out of turn";
    ++next[n % kProfiles];
    ++answered;
    // Each gets its answer, or the failure that says why not.
    const Json& reply = (*line)["items"][0]["message"];
    if (reply["ok"] == true) {
      ++ok;
      ASSERT_EQ(reply["messages"].back()["id"], "p" + std::to_string(n % kProfiles) + "-" + std::to_string(n / kProfiles));
    } else {
      ASSERT_TRUE(reply == failed("disconnected", reply["messages"]) || reply == unavailable()) << reply;
    }
  }
  EXPECT_GE(ok, kProfiles);
  EXPECT_LT(ok, kProfiles * kPerProfile);  // the application's end did reach requests
  EXPECT_EQ(host.finish(), 0);
  EXPECT_FALSE(host.nextReply(1s).has_value());
  host.process().sync_output();
  expectCleanLog(host.log());
}

TEST(SafariLoad, DroppedAndRemadeLinksLeaveTheDescriptorCountAsItWas) {
  const std::size_t total = countFromEnv("KARVO_RECONNECTS", 10'000, 2'000);
  const std::size_t byApplication = total / 5;  // the rest are dropped by the extension
  const std::size_t byExtension = total - byApplication;
  testkit::ScratchHome home;
  auto app = std::make_unique<testkit::StandinApp>(home, std::vector<std::string>{"--quiet"});
  ASSERT_TRUE(app->ok());
  ExtensionHost host(home, {});
  const pid_t pid = host.process().pid();
  int n = 0;
  const Json greet = Json::parse(R"({"op":"send","hello":{"type":"hello"},"msg":{"type":"hello","id":"w"}})");
  const Json close = Json::parse(R"({"op":"close"})");

  // Once linked and dropped, the relay and its queue exist: that is the count to come back to.
  ASSERT_TRUE(host.request(++n, Json{{"message", greet}}));
  ASSERT_EQ(host.replyTo(n)["ok"], true);
  ASSERT_TRUE(host.request(++n, Json{{"message", close}}));
  ASSERT_EQ(host.replyTo(n)["ok"], true);
  const std::size_t before = descriptorCount(pid);

  // The extension drops the link: a greeting sent as the message starts over on a fresh link.
  const auto start = Clock::now();
  std::string input;
  for (std::size_t k = 0; k < byExtension; ++k) {
    Json request = greet;
    request["msg"]["id"] = "c" + std::to_string(k);
    input += Json{{"n", n + 1 + static_cast<int>(k)}, {"message", request}}.dump() + "\n";
  }
  ASSERT_TRUE(host.process().write_all(input));
  for (std::size_t k = 0; k < byExtension; ++k) {
    const Json reply = host.replyTo(++n);
    ASSERT_EQ(reply["ok"], true) << k << ": " << reply;
    ASSERT_EQ(reply["messages"].back()["id"], "c" + std::to_string(k)) << reply;
  }
  ASSERT_TRUE(host.request(++n, Json{{"message", close}}));
  ASSERT_EQ(host.replyTo(n)["ok"], true);
  EXPECT_EQ(app->count_events([](std::string_view e) { return e.starts_with("accepted "); }), byExtension + 1);

  // The application drops the link: it closes each one right after authenticating it, and the relay finds
  // out when it reads.
  app.reset();
  app = std::make_unique<testkit::StandinApp>(home, std::vector<std::string>{"--quiet", "--close-after", "0"});
  ASSERT_TRUE(app->ok());
  input.clear();
  for (std::size_t k = 0; k < byApplication; ++k) {
    input += Json{{"n", n + 1 + static_cast<int>(k)},
                  {"message", {{"op", "poll"}, {"hello", {{"type", "hello"}}}}}}.dump() + "\n";
  }
  ASSERT_TRUE(host.process().write_all(input));
  for (std::size_t k = 0; k < byApplication; ++k) {
    ASSERT_EQ(host.replyTo(++n), failed("disconnected")) << k;
  }
  EXPECT_EQ(app->count_events([](std::string_view e) { return e.starts_with("accepted "); }), byApplication);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  const std::size_t after = descriptorCount(pid);
  std::printf("KarvoSafari: %zu links dropped and made again (%zu by the extension, %zu by the application) "
              "in %.1f s; descriptors %zu before, %zu after\n",
              total, byExtension, byApplication, seconds, before, after);
  EXPECT_EQ(after, before);
  EXPECT_EQ(host.finish(), 0);
  host.process().sync_output();
  expectCleanLog(host.log());
}

}  // namespace
}  // namespace karvo::safari::blackbox
