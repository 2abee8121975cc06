// Choosing and opening the application bundle to launch.
#include <chrono>

#include "relay.h"
#include "test_support.h"

namespace karvo::safari {
namespace {

using Clock = std::chrono::steady_clock;

class KarvoLaunch : public test::SafariTest {
 protected:
  // A bundle directory with an Info.plist (nothing written for an empty identifier).
  std::string makeBundle(const std::string& relative, const std::string& identifier,
                         const std::string& executable = "") {
    const std::string path = home_.path() + "/" + relative;
    std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    if (!identifier.empty()) plist += "<key>CFBundleIdentifier</key><string>" + identifier + "</string>\n";
    if (!executable.empty()) plist += "<key>CFBundleExecutable</key><string>" + executable + "</string>\n";
    plist += "</dict>\n</plist>\n";
    EXPECT_TRUE(testkit::write_file(path + "/Contents/Info.plist", plist));
    return path;
  }
  void installExtensionIn(const std::string& container) {
    const std::string appex = container + "/Contents/PlugIns/KarvoSafari.appex";
    EXPECT_TRUE(testkit::make_dirs(appex + "/Contents/MacOS"));
    changeSettings([&](platform::LinuxSettings& s) { s.bundlePath = appex; });
  }
};

TEST_F(KarvoLaunch, CandidatesAreContainerHintAndRegistryInThatOrder) {
  const std::string container = makeBundle("Apps/Karvo.app", "com.karvo.app");
  installExtensionIn(container);
  changeSettings([](platform::LinuxSettings& s) {
    s.registeredApplications = {{"com.karvo.app", "/Registered/Karvo.app"}, {"com.other", "/Other.app"}};
  });
  EXPECT_EQ(Relay::launchCandidates("/Applications/Karvo.app/Contents/MacOS/Karvo"),
            (std::vector<std::string>{container, "/Applications/Karvo.app", "/Registered/Karvo.app"}));
  // Duplicates stay.
  EXPECT_EQ(Relay::launchCandidates(container + "/Contents/MacOS/Karvo"),
            (std::vector<std::string>{container, container, "/Registered/Karvo.app"}));
}

TEST_F(KarvoLaunch, TheHintIsCutAtItsFirstAppComponent) {
  struct Case {
    const char* hint;
    const char* candidate;  // nullptr: none
  };
  const Case cases[] = {
      {"/Applications/Karvo.app/Contents/MacOS/Karvo", "/Applications/Karvo.app"},
      {"/Users/example/Apps/Outer.app/Contents/Inner.app/Contents/MacOS/x", "/Users/example/Apps/Outer.app"},
      {"/Applications/Karvo.app/", "/Applications/Karvo.app"},
      {"/Applications/Karvo.app", nullptr},
      {"/usr/local/bin/karvo", nullptr},
      {"/Applications/Karvo.APP/Contents/MacOS/Karvo", nullptr},
      {"relative.app/x", "relative.app"},
  };
  for (const Case& c : cases) {
    const auto candidates = Relay::launchCandidates(std::string(c.hint));
    EXPECT_EQ(candidates, c.candidate != nullptr ? std::vector<std::string>{c.candidate}
                                                 : std::vector<std::string>{})
        << c.hint;
  }
  EXPECT_TRUE(Relay::launchCandidates(std::nullopt).empty());
}

TEST_F(KarvoLaunch, AContainerWithAnotherIdentifierIsNoCandidate) {
  for (const char* identifier : {"com.karvo.other", "COM.KARVO.APP", ""}) {
    const std::string container = makeBundle(std::string("C") + identifier + "/Outer.app", identifier);
    installExtensionIn(container);
    EXPECT_TRUE(Relay::launchCandidates(std::nullopt).empty()) << identifier;
  }
  // Not installed inside any bundle at all.
  changeSettings([&](platform::LinuxSettings& s) { s.bundlePath = home_.path() + "/KarvoSafari.appex"; });
  EXPECT_TRUE(Relay::launchCandidates(std::nullopt).empty());
}

TEST_F(KarvoLaunch, NoExistingCandidateIsLoggedAndNothingOpened) {
  changeSettings([](platform::LinuxSettings& s) {
    s.registeredApplications = {{"com.karvo.app", "/nonexistent/Registered.app"}};
  });
  Relay::launchKarvo("/nonexistent/Karvo.app/Contents/MacOS/Karvo");
  EXPECT_EQ(log_->entries(), std::vector<std::string>{"error: Karvo.app not found"});
}

TEST_F(KarvoLaunch, OnlyTheFirstExistingCandidateIsTriedAndItsFailureLogged) {
  // The hint's bundle exists but has no executable; the registered one would be fine but is not tried.
  const std::string broken = makeBundle("Broken.app", "com.karvo.app");
  changeSettings([&](platform::LinuxSettings& s) {
    s.registeredApplications = {{"com.karvo.app", makeBundle("Good.app", "com.karvo.app", "true")}};
  });
  Relay::launchKarvo(broken + "/Contents/MacOS/Karvo");
  const auto entries = log_->entries();
  ASSERT_EQ(entries.size(), 1U);
  EXPECT_TRUE(entries[0].starts_with("error: starting Karvo failed: ")) << entries[0];
  EXPECT_NE(entries[0].find(broken), std::string::npos) << entries[0];
}

TEST_F(KarvoLaunch, APlatformThatNeverReportsBackIsWaitedForFiveSeconds) {
  const std::string app = makeBundle("Silent.app", "com.karvo.app", "Karvo");
  ASSERT_TRUE(testkit::install_program("/bin/true", app + "/Contents/MacOS/Karvo"));
  changeSettings([](platform::LinuxSettings& s) { s.workspaceReportsBack = false; });
  test::shortWaits();
  const auto start = Clock::now();
  Relay::launchKarvo(app + "/Contents/MacOS/Karvo");
  const std::chrono::duration<double> took = Clock::now() - start;
  EXPECT_GE(took.count(), waits::kLauncherAnswer * test::kTestWaitScale * 0.95);
  EXPECT_TRUE(log_->entries().empty());
}

}  // namespace
}  // namespace karvo::safari
