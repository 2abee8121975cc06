// karvo-register: the path table, the manifest, and installing and removing in scratch folders.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "browsers.h"
#include "files.h"
#include "flatpak_override.h"
#include "json.h"
#include "manifest.h"
#include "registration.h"
#include "testkit.h"

namespace karvo::reg {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testkit::ScratchHome;
using namespace std::chrono_literals;

constexpr std::string_view kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
constexpr std::string_view kFirefoxId = "bridge@karvo.com";

// A karvo-host stand-in: a program with the host's version mark.
constexpr std::string_view kHostProgram = "#!/bin/sh\n# @(#)karvo-host 0.1.0\n";

Places fixed_places(Os os) { return {os, "/r", "/h", "/h/.cfg", "/h/.data"}; }

TEST(PathTable, EveryBrowserSystemAndScopeHasOneFolder) {
  for (const Browser b : kAllBrowsers) {
    for (const Os os : {Os::linux_os, Os::mac_os}) {
      for (const Scope s : {Scope::user, Scope::system}) {
        int rows = 0;
        for (const DirRow& r : dir_table()) rows += r.browser == b && r.os == os && r.scope == s && !r.read_only;
        // The Firefox forks are known on Linux only, and LibreWolf's system-wide folder is not published.
        const bool known = (b != Browser::librewolf && b != Browser::waterfox) ||
                           (os == Os::linux_os && !(b == Browser::librewolf && s == Scope::system));
        EXPECT_EQ(rows, known ? 1 : 0) << key(b) << " " << static_cast<int>(os) << " " << scope_text(s);
      }
    }
  }
}

TEST(PathTable, FoldersPerBrowserSystemAndScope) {
  struct Row {
    Browser b;
    Os os;
    Scope scope;
    std::string_view dir;
  };
  const Row rows[] = {
      {Browser::chrome, Os::linux_os, Scope::user, "/h/.cfg/google-chrome/NativeMessagingHosts"},
      {Browser::chrome, Os::linux_os, Scope::system, "/r/etc/opt/chrome/native-messaging-hosts"},
      {Browser::chrome, Os::mac_os, Scope::user, "/h/Library/Application Support/Google/Chrome/NativeMessagingHosts"},
      {Browser::chrome, Os::mac_os, Scope::system, "/r/Library/Google/Chrome/NativeMessagingHosts"},
      {Browser::chromium, Os::linux_os, Scope::user, "/h/.cfg/chromium/NativeMessagingHosts"},
      {Browser::chromium, Os::linux_os, Scope::system, "/r/etc/chromium/native-messaging-hosts"},
      {Browser::chromium, Os::mac_os, Scope::user, "/h/Library/Application Support/Chromium/NativeMessagingHosts"},
      {Browser::chromium, Os::mac_os, Scope::system, "/r/Library/Application Support/Chromium/NativeMessagingHosts"},
      {Browser::edge, Os::linux_os, Scope::user, "/h/.cfg/microsoft-edge/NativeMessagingHosts"},
      {Browser::edge, Os::linux_os, Scope::system, "/r/etc/opt/edge/native-messaging-hosts"},
      {Browser::edge, Os::mac_os, Scope::user, "/h/Library/Application Support/Microsoft Edge/NativeMessagingHosts"},
      {Browser::edge, Os::mac_os, Scope::system, "/r/Library/Microsoft/Edge/NativeMessagingHosts"},
      {Browser::brave, Os::linux_os, Scope::user, "/h/.cfg/BraveSoftware/Brave-Browser/NativeMessagingHosts"},
      {Browser::brave, Os::linux_os, Scope::system, "/r/etc/opt/chrome/native-messaging-hosts"},
      {Browser::brave, Os::mac_os, Scope::user,
       "/h/Library/Application Support/BraveSoftware/Brave-Browser/NativeMessagingHosts"},
      {Browser::brave, Os::mac_os, Scope::system, "/r/Library/Google/Chrome/NativeMessagingHosts"},
      {Browser::vivaldi, Os::linux_os, Scope::user, "/h/.cfg/vivaldi/NativeMessagingHosts"},
      {Browser::vivaldi, Os::linux_os, Scope::system, "/r/etc/opt/vivaldi/native-messaging-hosts"},
      {Browser::vivaldi, Os::mac_os, Scope::user, "/h/Library/Application Support/Vivaldi/NativeMessagingHosts"},
      {Browser::vivaldi, Os::mac_os, Scope::system, "/r/Library/Application Support/Vivaldi/NativeMessagingHosts"},
      {Browser::firefox, Os::linux_os, Scope::user, "/h/.mozilla/native-messaging-hosts"},
      {Browser::firefox, Os::linux_os, Scope::system, "/r/usr/lib/mozilla/native-messaging-hosts"},
      {Browser::firefox, Os::mac_os, Scope::user, "/h/Library/Application Support/Mozilla/NativeMessagingHosts"},
      {Browser::firefox, Os::mac_os, Scope::system, "/r/Library/Application Support/Mozilla/NativeMessagingHosts"},
      {Browser::chrome_beta, Os::linux_os, Scope::user, "/h/.cfg/google-chrome-beta/NativeMessagingHosts"},
      {Browser::chrome_dev, Os::linux_os, Scope::user, "/h/.cfg/google-chrome-unstable/NativeMessagingHosts"},
      {Browser::chrome_canary, Os::linux_os, Scope::system, "/r/etc/opt/chrome/native-messaging-hosts"},
      {Browser::chrome_canary, Os::mac_os, Scope::user,
       "/h/Library/Application Support/Google/Chrome Canary/NativeMessagingHosts"},
      {Browser::edge_beta, Os::linux_os, Scope::user, "/h/.cfg/microsoft-edge-beta/NativeMessagingHosts"},
      {Browser::edge_dev, Os::linux_os, Scope::system, "/r/etc/opt/edge/native-messaging-hosts"},
      {Browser::edge_dev, Os::mac_os, Scope::user, "/h/Library/Application Support/Microsoft Edge Dev/NativeMessagingHosts"},
      {Browser::librewolf, Os::linux_os, Scope::user, "/h/.librewolf/native-messaging-hosts"},
      {Browser::waterfox, Os::linux_os, Scope::user, "/h/.waterfox/native-messaging-hosts"},
      {Browser::waterfox, Os::linux_os, Scope::system, "/r/usr/lib/mozilla/native-messaging-hosts"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(manifest_dir(r.b, r.scope, fixed_places(r.os)), r.dir) << key(r.b);
    EXPECT_EQ(manifest_path(r.b, r.scope, fixed_places(r.os)), std::string(r.dir) + "/com.karvo.bridge.json");
  }
  // Without a root the system folders are the real ones; the user's come first in the search.
  Places real = fixed_places(Os::linux_os);
  real.root.clear();
  EXPECT_EQ(manifest_search_order(Browser::chromium, real),
            (std::vector<std::string>{"/h/.cfg/chromium/NativeMessagingHosts/com.karvo.bridge.json",
                                      "/etc/chromium/native-messaging-hosts/com.karvo.bridge.json"}));
  // Firefox reads one system-wide folder, the one its build chose.
  EXPECT_EQ(manifest_search_order(Browser::firefox, real),
            (std::vector<std::string>{"/h/.mozilla/native-messaging-hosts/com.karvo.bridge.json",
                                      firefox_system_folder(Browser::firefox, real) +
                                          "/native-messaging-hosts/com.karvo.bridge.json"}));
}

TEST(PathTable, PlacesFollowHomeAndXdgConfigHome) {
  ScratchHome home;
  ::setenv("HOME", home.path().c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", "/elsewhere/cfg", 1);
  EXPECT_EQ(current_places().config_home, "/elsewhere/cfg");
  ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // not absolute: ignored, as the browsers do
  EXPECT_EQ(current_places().config_home, home.path() + "/.config");
  ::unsetenv("XDG_CONFIG_HOME");
  const Places p = current_places("/stage");
  EXPECT_EQ(p.home, home.path());
  EXPECT_EQ(p.root, "/stage");
  EXPECT_EQ(p.os, Os::linux_os);
}

TEST(Manifest, TextPerFamilyReadsBackAndEscapes) {
  const std::string host = R"(/opt/K "x"\karvo-host)";
  const std::string chromium = manifest_text(Family::chromium, host, {std::string(kOrigin), "chrome-extension://b/"});
  const std::optional<json::Value> v = json::parse(chromium);
  ASSERT_TRUE(v) << chromium;
  EXPECT_EQ(*v->find("name"), json::Value("com.karvo.bridge"));
  EXPECT_EQ(*v->find("type"), json::Value("stdio"));
  EXPECT_EQ(*v->find("path"), json::Value(host));
  EXPECT_EQ(*v->find("allowed_origins"), json::Value(json::Array{std::string(kOrigin), "chrome-extension://b/"}));
  EXPECT_EQ(v->find("allowed_extensions"), nullptr);

  const std::string firefox = manifest_text(Family::firefox, host, {std::string(kFirefoxId)});
  const ManifestCheck fc = check_manifest(firefox, Family::firefox);
  EXPECT_FALSE(fc.problem) << *fc.problem;
  EXPECT_EQ(fc.host_path, host);
  EXPECT_EQ(fc.allowed, std::vector<std::string>{std::string(kFirefoxId)});
  // A Firefox manifest has no list that Chromium reads, and the other way round.
  EXPECT_TRUE(check_manifest(firefox, Family::chromium).problem);
  EXPECT_TRUE(check_manifest(chromium, Family::firefox).problem);
  EXPECT_TRUE(is_our_manifest(chromium));
  EXPECT_TRUE(is_our_manifest(firefox));
}

TEST(Manifest, ProblemsABrowserWouldRejectOn) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {"{", "not valid JSON"},
      {"[]", "not a JSON object"},
      {R"({"name":"com.other.host","description":"d","path":"/x","type":"stdio","allowed_origins":["o"]})", "\"name\""},
      {R"({"name":"com.karvo.bridge","path":"/x","type":"stdio","allowed_origins":["o"]})", "\"description\""},
      {R"({"name":"com.karvo.bridge","description":"d","path":"/x","type":"pipe","allowed_origins":["o"]})", "\"type\""},
      {R"({"name":"com.karvo.bridge","description":"d","path":"karvo-host","type":"stdio","allowed_origins":["o"]})",
       "absolute"},
      {R"({"name":"com.karvo.bridge","description":"d","path":"/x","type":"stdio"})", "no \"allowed_origins\""},
      {R"({"name":"com.karvo.bridge","description":"d","path":"/x","type":"stdio","allowed_origins":[1]})",
       "other than text"},
      {R"({"name":"com.karvo.bridge","description":"d","path":"/x","type":"stdio","allowed_origins":[]})", "empty"},
  };
  for (const auto& [text, problem] : rows) {
    const ManifestCheck c = check_manifest(text, Family::chromium);
    ASSERT_TRUE(c.problem) << text;
    EXPECT_THAT(*c.problem, HasSubstr(std::string(problem))) << text;
  }
  EXPECT_FALSE(is_our_manifest(R"({"name":"com.other.host"})"));
  EXPECT_FALSE(is_our_manifest("not json"));
}

TEST(Manifest, ExtensionIdentities) {
  const std::string id = "abcdefghijklmnopabcdefghijklmnop";
  const std::string origin = "chrome-extension://" + id + "/";
  for (const std::string& form : {origin, "chrome-extension://" + id, id}) EXPECT_EQ(normalise_origin(form), origin);
  for (const std::string& bad : std::vector<std::string>{
           "chrome-extension://*/", "chrome-extension://" + id.substr(1) + "/",
           "chrome-extension://ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP/", "https://" + id + "/",
           "chrome-extension://abcdefghijklmnopabcdefghijklmnoq/", ""}) {
    EXPECT_FALSE(normalise_origin(bad)) << bad;
  }
  for (std::string_view good : {"bridge@karvo.com", "@karvo", "a.b-c_d@x.y", "{12345678-9abc-DEF0-1234-56789abcdef0}"}) {
    EXPECT_TRUE(valid_firefox_id(good)) << good;
  }
  for (std::string_view bad : {"", "bridge", "bridge@", "a b@c", "{12345678-9abc-def0-1234-56789abcdef}",
                               "x@y\n", "a@b@c"}) {
    EXPECT_FALSE(valid_firefox_id(bad)) << bad;
  }
}

std::string all_lines(const Outcome& o) {
  std::string s;
  for (const std::string& l : o.lines) s += l + "\n";
  return s;
}

// A scratch home with a karvo-host stand-in, and requests against it.
class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    places_ = {Os::linux_os, home_.path() + "/root", home_.path(), home_.path() + "/.config", home_.path() + "/.local/share"};
    host_ = "/usr/bin/karvo-host";  // as the browsers will see it; it lies under the root
    ASSERT_TRUE(testkit::write_file(places_.root + host_, kHostProgram, 0755));
  }
  Request install(std::vector<Browser> browsers, Scope scope = Scope::user) const {
    Request r;
    r.action = Action::install;
    r.scope = scope;
    r.browsers = std::move(browsers);
    r.origins = {std::string(kOrigin)};
    r.firefox_ids = {std::string(kFirefoxId)};
    r.host_path = host_;
    return r;
  }
  static Request remove(std::vector<Browser> browsers, Scope scope = Scope::user) {
    Request r;
    r.action = Action::remove;
    r.scope = scope;
    r.browsers = std::move(browsers);
    return r;
  }
  std::string path(Browser b, Scope s = Scope::user) const { return manifest_path(b, s, places_); }

  ScratchHome home_;
  Places places_;
  std::string host_;
};

TEST_F(Registration, InstallWritesEachBrowsersManifestOnceAndIsIdempotent) {
  const Outcome first = run_request(install({Browser::chromium, Browser::firefox}), places_);
  ASSERT_TRUE(first.ok) << all_lines(first);
  EXPECT_EQ(first.lines, (std::vector<std::string>{"wrote " + path(Browser::chromium) + " (Chromium, this user)",
                                                   "wrote " + path(Browser::firefox) + " (Firefox, this user)"}));
  const std::optional<std::string> chromium = read_text(path(Browser::chromium));
  ASSERT_TRUE(chromium);
  EXPECT_EQ(*chromium, manifest_text(Family::chromium, host_, {std::string(kOrigin)}));
  EXPECT_EQ(read_text(path(Browser::firefox)), manifest_text(Family::firefox, host_, {std::string(kFirefoxId)}));
  EXPECT_EQ(testkit::file_mode(path(Browser::chromium)), 0644u);
  // Folders made in a home are private, as the browsers and the XDG base directory rules make them.
  for (const std::string dir : {"/.config", "/.config/chromium", "/.config/chromium/NativeMessagingHosts", "/.mozilla",
                                "/.mozilla/native-messaging-hosts"}) {
    EXPECT_EQ(testkit::file_mode(home_.path() + dir), 0700u) << dir;
  }

  struct stat before{};
  ASSERT_EQ(::stat(path(Browser::chromium).c_str(), &before), 0);
  const Outcome again = run_request(install({Browser::chromium, Browser::firefox}), places_);
  EXPECT_TRUE(again.ok);
  EXPECT_THAT(again.lines, ::testing::Each(::testing::StartsWith("unchanged ")));
  struct stat after{};
  ASSERT_EQ(::stat(path(Browser::chromium).c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // not rewritten

  // Other extensions: the manifest is replaced and lists exactly those.
  Request other = install({Browser::chromium});
  other.origins = {"chrome-extension://pppppppppppppppppppppppppppppppp/"};
  EXPECT_TRUE(run_request(other, places_).ok);
  EXPECT_EQ(check_manifest(*read_text(path(Browser::chromium)), Family::chromium).allowed, other.origins);
  // Nothing else lies in the folder: the temporary file went away with the rename.
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(manifest_dir(Browser::chromium, Scope::user, places_))) {
    names.insert(e.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"com.karvo.bridge.json", ".com.karvo.bridge.json.karvo-register"}));
}

TEST_F(Registration, DryRunShowsTheContentAndChangesNothing) {
  Request r = install({Browser::edge});
  r.dry_run = true;
  const Outcome o = run_request(r, places_);
  ASSERT_TRUE(o.ok);
  ASSERT_GE(o.lines.size(), 2u);
  EXPECT_EQ(o.lines[0], "would write " + path(Browser::edge) + " (Microsoft Edge, this user):");
  EXPECT_THAT(all_lines(o), HasSubstr("      \"allowed_origins\": [\n        \"" + std::string(kOrigin) + "\"\n"));
  EXPECT_FALSE(testkit::path_exists(home_.path() + "/.config"));

  ASSERT_TRUE(run_request(install({Browser::edge}), places_).ok);
  EXPECT_THAT(run_request(r, places_).lines, ::testing::ElementsAre("would leave unchanged " + path(Browser::edge) +
                                                                     " (Microsoft Edge, this user)"));
  Request rm = remove({Browser::edge});
  rm.dry_run = true;
  EXPECT_THAT(run_request(rm, places_).lines,
              ::testing::ElementsAre("would remove " + path(Browser::edge) + " (Microsoft Edge, this user)"));
  EXPECT_TRUE(testkit::path_exists(path(Browser::edge)));
}

TEST_F(Registration, RemovalTouchesOnlyOurFiles) {
  ASSERT_TRUE(run_request(install({Browser::chrome, Browser::vivaldi}), places_).ok);
  const std::string dir = manifest_dir(Browser::chrome, Scope::user, places_);
  ASSERT_TRUE(testkit::write_file(dir + "/com.other.host.json", R"({"name":"com.other.host"})"));
  // Somebody else's file under our name (say, by hand) is neither replaced nor removed.
  const std::string foreign = R"({"name":"com.example.other","path":"/x"})";
  ASSERT_TRUE(testkit::write_file(path(Browser::vivaldi), foreign));

  const Outcome o = run_request(remove({}), places_);  // every browser
  EXPECT_TRUE(o.ok) << all_lines(o);
  EXPECT_THAT(o.lines, ::testing::ElementsAre("removed " + path(Browser::chrome) + " (Google Chrome, this user)",
                                              "left " + path(Browser::vivaldi) +
                                                  " alone: it is not a manifest of com.karvo.bridge"));
  EXPECT_FALSE(testkit::path_exists(path(Browser::chrome)));
  EXPECT_TRUE(testkit::path_exists(dir + "/com.other.host.json"));
  EXPECT_TRUE(testkit::path_exists(dir));  // folders stay
  EXPECT_EQ(read_text(path(Browser::vivaldi)), foreign);

  const Outcome refused = run_request(install({Browser::vivaldi}), places_);
  EXPECT_FALSE(refused.ok);
  EXPECT_THAT(all_lines(refused), HasSubstr("left " + path(Browser::vivaldi) + " alone"));
  EXPECT_EQ(read_text(path(Browser::vivaldi)), foreign);

  EXPECT_THAT(run_request(remove({Browser::chrome}), places_).lines,
              ::testing::ElementsAre(HasSubstr("nothing to remove: no manifest of com.karvo.bridge for this user")));
}

TEST_F(Registration, SystemWideFileSharedByChromeAndBrave) {
  ASSERT_TRUE(testkit::make_dirs(places_.root + "/etc/opt"));
  const Outcome o = run_request(install({Browser::chrome, Browser::brave}, Scope::system), places_);
  ASSERT_TRUE(o.ok) << all_lines(o);
  const std::string shared = places_.root + "/etc/opt/chrome/native-messaging-hosts/com.karvo.bridge.json";
  EXPECT_THAT(o.lines, ::testing::ElementsAre("wrote " + shared + " (Google Chrome, Brave, system-wide)"));
  EXPECT_EQ(testkit::file_mode(shared), 0644u);
  EXPECT_EQ(testkit::file_mode(places_.root + "/etc/opt/chrome"), 0755u);  // browsers of every user read it

  // Removing it for Brave alone would take it from Google Chrome, installed here, too: it stays.
  ASSERT_TRUE(testkit::make_dirs(places_.root + "/opt/google/chrome"));
  EXPECT_THAT(run_request(remove({Browser::brave}, Scope::system), places_).lines,
              ::testing::ElementsAre(HasSubstr("Google Chrome reads it too")));
  EXPECT_TRUE(testkit::path_exists(shared));
  EXPECT_TRUE(run_request(remove({Browser::chrome, Browser::brave}, Scope::system), places_).ok);
  EXPECT_FALSE(testkit::path_exists(shared));
  EXPECT_FALSE(testkit::path_exists(places_.root + "/etc/opt/chrome"));
  EXPECT_TRUE(testkit::path_exists(places_.root + "/etc/opt"));  // the system's own folders stay
  // A folder that registration made goes with the manifest.
  ASSERT_TRUE(run_request(install({Browser::chromium}, Scope::system), places_).ok);
  ASSERT_TRUE(run_request(remove({Browser::chromium}, Scope::system), places_).ok);
  EXPECT_FALSE(testkit::path_exists(places_.root + "/etc/chromium"));
  EXPECT_TRUE(testkit::path_exists(places_.root + "/etc"));

  // Firefox reads one system-wide folder: /usr/lib64/mozilla where its library names it, and nothing
  // is written to /usr/lib/mozilla then.
  Places lib64_places = places_;
  lib64_places.root = home_.path() + "/root64";
  ASSERT_TRUE(testkit::write_file(lib64_places.root + host_, "#!/bin/sh\n", 0755));
  ASSERT_TRUE(testkit::write_file(lib64_places.root + "/usr/lib64/firefox/libxul.so",
                                  std::string("\x7f" "ELF...\0/usr/lib64/mozilla\0...", 30)));
  const std::string lib64 = lib64_places.root + "/usr/lib64/mozilla/native-messaging-hosts/com.karvo.bridge.json";
  EXPECT_EQ(manifest_path(Browser::firefox, Scope::system, lib64_places), lib64);
  EXPECT_TRUE(run_request(install({Browser::firefox}, Scope::system), lib64_places).ok);
  EXPECT_TRUE(testkit::path_exists(lib64));
  EXPECT_FALSE(testkit::path_exists(lib64_places.root + "/usr/lib/mozilla"));
  EXPECT_THAT(run_request(remove({Browser::firefox}, Scope::system), lib64_places).lines,
              ::testing::ElementsAre("removed " + lib64 + " (Firefox, system-wide)"));
  EXPECT_FALSE(testkit::path_exists(lib64));
  // Without a library, the system's layout tells: the C library in a real /usr/lib64.
  lib64_places.root = home_.path() + "/root-fedora";
  ASSERT_TRUE(testkit::write_file(lib64_places.root + "/usr/lib64/libc.so.6", ""));
  EXPECT_EQ(manifest_dir(Browser::firefox, Scope::system, lib64_places),
            lib64_places.root + "/usr/lib64/mozilla/native-messaging-hosts");
}

TEST_F(Registration, HostMustBeAnAbsoluteExecutable) {
  ASSERT_TRUE(testkit::write_file(places_.root + "/opt/plain-file", "data", 0644));
  for (const std::string host : {"karvo-host", "/opt/missing", "/opt/plain-file", "/opt"}) {
    Request r = install({Browser::chromium});
    r.host_path = host;
    const Outcome o = run_request(r, places_);
    EXPECT_FALSE(o.ok) << host;
    EXPECT_THAT(all_lines(o), HasSubstr("error: ")) << host;
  }
  EXPECT_FALSE(testkit::path_exists(path(Browser::chromium)));
}

TEST_F(Registration, DefaultSetIsTheBrowsersFoundHere) {
  EXPECT_FALSE(run_request(install({}), places_).ok);  // nothing found in an empty home
  // Install then remove leaves a clean home as it was, and nothing of ours counts as a browser.
  ASSERT_TRUE(run_request(install({Browser::chrome, Browser::edge, Browser::brave, Browser::vivaldi, Browser::firefox}),
                          places_).ok);
  ASSERT_TRUE(testkit::make_dirs(places_.config_home + "/chromium/NativeMessagingHosts"));
  EXPECT_FALSE(browser_found(Browser::chromium, places_));
  EXPECT_TRUE(run_request(remove({}), places_).ok);
  std::set<std::string> left;
  for (const auto& e : std::filesystem::recursive_directory_iterator(home_.path())) left.insert(e.path().string());
  EXPECT_EQ(left, (std::set<std::string>{places_.root, places_.root + "/usr", places_.root + "/usr/bin",
                                         places_.root + host_, places_.config_home,
                                         places_.config_home + "/chromium",
                                         places_.config_home + "/chromium/NativeMessagingHosts"}));
  ASSERT_TRUE(testkit::write_file(places_.config_home + "/chromium/Local State", "{}"));
  ASSERT_TRUE(testkit::make_dirs(places_.root + "/usr/lib/firefox-esr"));
  Request r = install({});
  r.firefox_ids.clear();  // Firefox found, but no extension of it given: skipped with a word
  const Outcome o = run_request(r, places_);
  EXPECT_TRUE(o.ok) << all_lines(o);
  EXPECT_THAT(o.lines, ::testing::ElementsAre("skipped Firefox: no --extension-id given",
                                              "wrote " + path(Browser::chromium) + " (Chromium, this user)"));
  r.all = true;
  r.firefox_ids = {std::string(kFirefoxId)};
  // Every browser and channel has a user folder of its own.
  EXPECT_EQ(run_request(r, places_).lines.size(), std::size(kAllBrowsers));
}

TEST_F(Registration, AllowAndDisallowKeepTheHostAndTheOthers) {
  constexpr std::string_view kSecond = "chrome-extension://pppppppppppppppppppppppppppppppp/";
  Request allow = install({Browser::chromium, Browser::firefox});
  allow.action = Action::allow;
  allow.origins = {std::string(kSecond)};
  allow.firefox_ids.clear();
  EXPECT_FALSE(run_request(allow, places_).ok);  // nothing registered yet: nothing to add to
  Request first = install({Browser::chromium, Browser::firefox});
  first.host_path = "/usr/bin/karvo-host";
  ASSERT_TRUE(run_request(first, places_).ok);
  const Outcome added = run_request(allow, places_);
  EXPECT_TRUE(added.ok) << all_lines(added);
  EXPECT_EQ(read_text(path(Browser::chromium)),
            manifest_text(Family::chromium, "/usr/bin/karvo-host", {std::string(kOrigin), std::string(kSecond)}));
  EXPECT_EQ(read_text(path(Browser::firefox)), manifest_text(Family::firefox, host_, {std::string(kFirefoxId)}));
  EXPECT_THAT(run_request(allow, places_).lines, ::testing::ElementsAre(::testing::StartsWith("unchanged ")));

  Request disallow = allow;
  disallow.action = Action::disallow;
  disallow.origins = {std::string(kOrigin)};
  EXPECT_TRUE(run_request(disallow, places_).ok);
  EXPECT_EQ(check_manifest(*read_text(path(Browser::chromium)), Family::chromium).allowed,
            std::vector<std::string>{std::string(kSecond)});
  disallow.origins = {std::string(kSecond)};  // the last one: that is a removal, not an empty list
  EXPECT_FALSE(run_request(disallow, places_).ok);
  EXPECT_TRUE(check_manifest(*read_text(path(Browser::chromium)), Family::chromium).allowed.size() == 1);

  // A broken file or an empty folder in the manifest's place is replaced only when asked to.
  for (const bool folder : {false, true}) {
    ASSERT_EQ(std::filesystem::remove(path(Browser::chromium)), true);
    if (folder) {
      ASSERT_TRUE(testkit::make_dirs(path(Browser::chromium)));
    } else {
      ASSERT_TRUE(testkit::write_file(path(Browser::chromium), "{\"name\": \"com.karvo.bri"));
    }
    Request again = install({Browser::chromium});
    EXPECT_FALSE(run_request(again, places_).ok) << folder;
    again.replace = true;
    EXPECT_TRUE(run_request(again, places_).ok) << folder;
    EXPECT_EQ(read_text(path(Browser::chromium)), manifest_text(Family::chromium, host_, {std::string(kOrigin)}));
  }
}

// Run as root (an install script with the user's HOME, sudo -E), registration must not leave folders
// that the user's browser then cannot write in.
TEST_F(Registration, RootWritingIntoAUsersHomeGivesItToTheUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  constexpr uid_t kUser = 65534;
  ASSERT_EQ(::chown(home_.path().c_str(), kUser, kUser), 0);
  ASSERT_TRUE(run_request(install({Browser::chromium, Browser::firefox}), places_).ok);
  for (const std::string made : {"/.config", "/.config/chromium", "/.config/chromium/NativeMessagingHosts",
                                 "/.config/chromium/NativeMessagingHosts/com.karvo.bridge.json", "/.mozilla",
                                 "/.mozilla/native-messaging-hosts/com.karvo.bridge.json"}) {
    struct stat st{};
    ASSERT_EQ(::lstat((home_.path() + made).c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_uid, kUser) << made;
    EXPECT_EQ(st.st_gid, kUser) << made;
  }
  // System-wide files stay root's.
  ASSERT_TRUE(run_request(install({Browser::chromium}, Scope::system), places_).ok);
  struct stat st{};
  ASSERT_EQ(::stat(path(Browser::chromium, Scope::system).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  ASSERT_EQ(::chown(home_.path().c_str(), 0, 0), 0);
}

// Every file and folder under `dir`, with the files' content and the modes: what a round trip of
// install and remove must leave as it found it.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string p = e.path().string();
    struct stat st{};
    ::lstat(p.c_str(), &st);
    out[p] = std::to_string(testkit::file_mode(p).value_or(0)) + " " + std::to_string(st.st_uid) + " " +
             testkit::read_file(p).value_or("<dir>");
  }
  return out;
}

// Root registering for a home that another user owns and has laid links in, on a stand-in of the
// system's folders (root's, as on a real system): nothing outside the home changes, and nothing in the
// home becomes root's. Each case on a fresh home, install then remove.
class RootInAUsersHome : public ::testing::Test {
 protected:
  static constexpr uid_t kUser = 65534;  // nobody
  static constexpr std::string_view kApp = "org.chromium.Chromium";

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    ASSERT_EQ(::chmod(sys_.path().c_str(), 0755), 0);
    const std::string firefox_system = sys_.path() + "/usr/lib/mozilla/native-messaging-hosts/com.karvo.bridge.json";
    ASSERT_TRUE(testkit::write_file(firefox_system, manifest_text(Family::firefox, "/usr/bin/karvo-host", {"a@b.c"})));
    ASSERT_TRUE(testkit::write_file(sys_.path() + "/usr/bin/karvo-host", kHostProgram, 0755));
    ASSERT_TRUE(testkit::write_file(sys_.path() + "/usr/local/bin/karvo-host", "#!/bin/sh\nroot's own\n", 0755));
    ASSERT_TRUE(testkit::write_file(sys_.path() + "/etc/shadow", "root:secret:::\n", 0600));
    ASSERT_TRUE(testkit::write_file(sys_.path() + "/root/.profile", "root's\n", 0600));
    ASSERT_EQ(::chmod((sys_.path() + "/root").c_str(), 0700), 0);
    ASSERT_TRUE(testkit::write_file(sys_.path() + "/var/lib/flatpak/overrides/" + std::string(kApp),
                                    "[Context]\nfilesystems=host;\n"));
    ASSERT_TRUE(testkit::make_dirs(home_.path() + "/.var/app/" + std::string(kApp)));
    places_ = {Os::linux_os, sys_.path(), home_.path(), home_.path() + "/.config", {}};
  }

  // Gives the home and everything in it to the user, links included.
  void give_home_to_user() const {
    ASSERT_EQ(::lchown(home_.path().c_str(), kUser, kUser), 0);
    for (const auto& e : std::filesystem::recursive_directory_iterator(home_.path())) {
      ASSERT_EQ(::lchown(e.path().c_str(), kUser, kUser), 0) << e.path();
    }
  }

  Request request(Action action, Browser b, bool in_sandbox) const {
    Request r;
    r.action = action;
    r.browsers = {b};
    r.origins = {std::string(kOrigin)};
    r.firefox_ids = {std::string(kFirefoxId)};
    r.host_path = "/usr/bin/karvo-host";
    r.in_sandbox = in_sandbox && action == Action::install;
    return r;
  }

  std::vector<std::string> roots_in_home() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(home_.path())) {
      struct stat st{};
      if (::lstat(e.path().c_str(), &st) == 0 && st.st_uid != kUser) out.push_back(e.path().string());
    }
    return out;
  }

  ScratchHome sys_;
  ScratchHome home_;
  Places places_;
};

TEST_F(RootInAUsersHome, PlantedLinksLeadNowhere) {
  struct Row {
    std::string_view link;    // in the home
    std::string_view target;  // in the stand-in of the system's folders
    Browser browser;
    bool in_sandbox;
  };
  const Row rows[] = {
      {".config", "/etc", Browser::chromium, false},
      {".config/chromium", "/root", Browser::chromium, false},
      {".mozilla", "/usr/lib/mozilla", Browser::firefox, false},
      {".var/app/org.chromium.Chromium/com.karvo.bridge", "/usr/local/bin", Browser::chromium, true},
      {".local/share/flatpak/overrides", "/var/lib/flatpak/overrides", Browser::chromium, true},
      {".local/share/flatpak/overrides/org.chromium.Chromium", "/etc/shadow", Browser::chromium, true},
  };
  const std::map<std::string, std::string> system_before = snapshot(sys_.path());
  for (const Row& r : rows) {
    SCOPED_TRACE(r.link);
    const std::string link = home_.path() + "/" + std::string(r.link);
    ASSERT_TRUE(testkit::make_dirs(link.substr(0, link.rfind('/'))));
    ASSERT_EQ(::symlink((sys_.path() + std::string(r.target)).c_str(), link.c_str()), 0);
    give_home_to_user();
    for (const Action action : {Action::install, Action::remove}) {
      const Outcome o = run_request(request(action, r.browser, r.in_sandbox), places_);
      EXPECT_EQ(snapshot(sys_.path()), system_before) << all_lines(o);
      EXPECT_EQ(roots_in_home(), std::vector<std::string>{}) << all_lines(o);
    }
    ASSERT_EQ(::unlink(link.c_str()), 0);
  }
  // Without links, the same requests work, as the user.
  give_home_to_user();
  const Outcome o = run_request(request(Action::install, Browser::chromium, true), places_);
  EXPECT_TRUE(o.ok) << all_lines(o);
  EXPECT_TRUE(testkit::path_exists(sandbox_host_path(Browser::chromium, places_)));
  EXPECT_EQ(roots_in_home(), std::vector<std::string>{});
  EXPECT_TRUE(run_request(request(Action::remove, Browser::chromium, true), places_).ok);
  EXPECT_EQ(snapshot(sys_.path()), system_before);
}

// A folder of the home flipped to a link and back while root registers for its user, for a bounded
// number of runs: never a write or a deletion outside the home.
TEST_F(RootInAUsersHome, FoldersFlippedToLinksDuringTheRun) {
  const std::map<std::string, std::string> system_before = snapshot(sys_.path());
  const std::string flipped = home_.path() + "/.config/chromium";
  const std::string aside = home_.path() + "/.config/chromium.aside";
  const std::string link = home_.path() + "/.config/chromium.link";
  ASSERT_TRUE(testkit::make_dirs(flipped));
  ASSERT_EQ(::symlink((sys_.path() + "/root").c_str(), link.c_str()), 0);
  give_home_to_user();
  // The flipper is a process of its own, making system calls only, so that it holds no lock of ours.
  const pid_t flipper = ::fork();
  ASSERT_GE(flipper, 0);
  if (flipper == 0) {
    for (;;) {
      ::rename(flipped.c_str(), aside.c_str());  // the folder aside, the link in its place, and back
      ::rename(link.c_str(), flipped.c_str());
      ::rename(flipped.c_str(), link.c_str());
      ::rename(aside.c_str(), flipped.c_str());
    }
  }
  for (int run = 0; run < 40; ++run) {
    run_request(request(run % 2 == 0 ? Action::install : Action::remove, Browser::chromium, false), places_);
  }
  ::kill(flipper, SIGKILL);
  ::waitpid(flipper, nullptr, 0);
  EXPECT_EQ(snapshot(sys_.path()), system_before);
  EXPECT_EQ(roots_in_home(), std::vector<std::string>{});
}

// System-wide work stays root's and follows no link in the system's folders.
TEST_F(RootInAUsersHome, SystemWideFollowsNoLink) {
  ASSERT_TRUE(testkit::make_dirs(sys_.path() + "/etc"));
  ASSERT_EQ(::symlink((sys_.path() + "/root").c_str(), (sys_.path() + "/etc/chromium").c_str()), 0);
  const std::string firefox = sys_.path() + "/usr/lib/mozilla/native-messaging-hosts/com.karvo.bridge.json";
  ASSERT_EQ(::unlink(firefox.c_str()), 0);
  ASSERT_EQ(::symlink((sys_.path() + "/etc/shadow").c_str(), firefox.c_str()), 0);
  const std::map<std::string, std::string> before = snapshot(sys_.path());
  for (const Action action : {Action::install, Action::remove}) {
    for (const Browser b : {Browser::chromium, Browser::firefox}) {
      Request r = request(action, b, false);
      r.scope = Scope::system;
      const Outcome o = run_request(r, places_);
      EXPECT_EQ(snapshot(sys_.path()), before) << all_lines(o);
      if (action == Action::install) {
        EXPECT_FALSE(o.ok) << all_lines(o);
      }
    }
  }
  EXPECT_THAT(all_lines(run_request([&] {
                Request r = request(Action::install, Browser::chromium, false);
                r.scope = Scope::system;
                return r;
              }(), places_)),
              HasSubstr("follows no link"));
}

TEST_F(Registration, SandboxedBrowsersAreFoundAndGetTheProxysManifest) {
  struct Row {
    std::string_view folder;  // made under the home, or under the root when absolute
    Browser browser;
    std::string_view kind;
  };
  const Row rows[] = {
      {".var/app/org.chromium.Chromium", Browser::chromium, "Flatpak"},
      {".local/share/flatpak/app/com.google.Chrome", Browser::chrome, "Flatpak"},
      {"/var/lib/flatpak/app/com.brave.Browser", Browser::brave, "Flatpak"},
      {"/var/lib/flatpak/app/com.microsoft.Edge", Browser::edge, "Flatpak"},
      {".var/app/com.vivaldi.Vivaldi", Browser::vivaldi, "Flatpak"},
      {"/var/lib/flatpak/app/org.mozilla.firefox", Browser::firefox, "Flatpak"},
      {".var/app/io.gitlab.librewolf-community", Browser::librewolf, "Flatpak"},
      {"/snap/chromium", Browser::chromium, "Snap"},
      {"snap/firefox", Browser::firefox, "Snap"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.folder);
    ScratchHome home;
    Places places = {Os::linux_os, home.path() + "/root", home.path(), home.path() + "/.config", {}};
    ASSERT_TRUE(testkit::write_file(places.root + host_, kHostProgram, 0755));
    ASSERT_TRUE(testkit::make_dirs(r.folder.starts_with('/') ? places.root + std::string(r.folder)
                                                              : home.path() + "/" + std::string(r.folder)));
    const std::vector<SandboxedInstall> found = sandboxed_installs(r.browser, places);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].kind, r.kind);
    Places mac = places;
    mac.os = Os::mac_os;
    EXPECT_TRUE(sandboxed_installs(r.browser, mac).empty());

    // An install for the browsers found here writes the manifest where the desktop's proxy looks, and
    // nothing in the folders of a regular install that is not there.
    Request req = install({});
    const Outcome o = run_request(req, places);
    ASSERT_TRUE(o.ok) << all_lines(o);
    const Family fam = family(r.browser);
    const std::string proxy = proxy_manifest_dir(fam, Scope::user, places) + "/com.karvo.bridge.json";
    const std::vector<std::string> searched = proxy_manifest_dirs(fam, places);
    EXPECT_NE(std::find(searched.begin(), searched.end(), proxy_manifest_dir(fam, Scope::user, places)), searched.end());
    EXPECT_TRUE(check_manifest(read_text(proxy).value_or(""), fam).allowed.size() == 1) << all_lines(o);
    if (proxy != manifest_path(r.browser, Scope::user, places)) {
      EXPECT_FALSE(testkit::path_exists(manifest_dir(r.browser, Scope::user, places))) << all_lines(o);
    }
    EXPECT_THAT(all_lines(o), HasSubstr("note: " + std::string(display_name(r.browser)) + " installed as a " +
                                        std::string(r.kind)));
    EXPECT_THAT(all_lines(o), HasSubstr("wrote " + proxy + " (" + std::string(display_name(r.browser)) +
                                        " through the native messaging proxy, this user)"));
    // And removing takes it away again, without the note, which only an install needs.
    const Outcome removed = run_request(remove({}), places);
    EXPECT_TRUE(removed.ok);
    EXPECT_THAT(all_lines(removed), Not(HasSubstr("installed as a")));
    EXPECT_FALSE(testkit::path_exists(proxy));
  }
  // A manifest that the proxy reads before ours, and that says something else, is named.
  {
    ScratchHome home;
    const Places places = {Os::linux_os, home.path() + "/root", home.path(), home.path() + "/.config", {}};
    ASSERT_TRUE(testkit::write_file(places.root + host_, "#!/bin/sh\n", 0755));
    ASSERT_TRUE(testkit::make_dirs(home.path() + "/.var/app/org.chromium.Chromium"));
    const std::string chrome = manifest_path(Browser::chrome, Scope::user, places);
    ASSERT_TRUE(testkit::write_file(chrome, manifest_text(Family::chromium, host_, {"chrome-extension://pppppppppppppppppppppppppppppppp/"})));
    const Outcome o = run_request(install({Browser::chromium}), places);
    EXPECT_THAT(all_lines(o), HasSubstr("note: the native messaging proxy gives Flatpak and Snap browsers " + chrome +
                                        ", which it reads before " + manifest_path(Browser::chromium, Scope::user, places)));
  }
  // The proxy's own list, system-wide folders included.
  Places real = fixed_places(Os::linux_os);
  real.root.clear();
  EXPECT_EQ(proxy_manifest_dirs(Family::chromium, real),
            (std::vector<std::string>{"/h/.cfg/google-chrome/NativeMessagingHosts", "/h/.cfg/chromium/NativeMessagingHosts",
                                      "/etc/opt/chrome/native-messaging-hosts", "/etc/chromium/native-messaging-hosts"}));
  // Debian's build of the proxy also reads the multiarch library folder, last.
  std::vector<std::string> firefox = proxy_manifest_dirs(Family::firefox, real);
  if (firefox.size() == 5 && firefox.back().starts_with("/usr/lib/") &&
      firefox.back().ends_with("-linux-gnu/mozilla/native-messaging-hosts")) {
    firefox.pop_back();
  }
  EXPECT_EQ(firefox,
            (std::vector<std::string>{"/h/.mozilla/native-messaging-hosts", "/h/.cfg/mozilla/native-messaging-hosts",
                                      "/usr/lib/mozilla/native-messaging-hosts",
                                      "/usr/lib64/mozilla/native-messaging-hosts"}));
  EXPECT_EQ(proxy_manifest_dir(Family::chromium, Scope::system, real), "/etc/chromium/native-messaging-hosts");
}

// The override file as Flatpak reads it (GLib's key-file parser): our entry goes into the list that
// Flatpak reads, and taking it back gives the file back byte for byte.
TEST(FlatpakOverride, EditsOnlyItsOwnEntry) {
  constexpr std::string_view kEntry = "~/Library/Application Support/com.karvo.app:ro";
  if (override_with("", kEntry).problem) GTEST_SKIP() << "no key-file parser on this system";
  struct Row {
    std::string_view what;
    std::string_view before;
    std::string_view with;  // after adding the entry; "" when only the round trip is checked
  };
  const Row rows[] = {
      {"no file", "", "[Context]\nfilesystems=~/Library/Application Support/com.karvo.app:ro;\n"},
      {"empty list", "[Context]\nfilesystems=\n",
       "[Context]\nfilesystems=~/Library/Application Support/com.karvo.app:ro;\n"},
      {"another key", "[Context]\nshared=network;\n",
       "[Context]\nfilesystems=~/Library/Application Support/com.karvo.app:ro;\nshared=network;\n"},
      {"a list", "[Context]\nfilesystems=xdg-download;!home;\n",
       "[Context]\nfilesystems=xdg-download;!home;~/Library/Application Support/com.karvo.app:ro;\n"},
      {"a list without its last ;", "[Context]\nfilesystems=xdg-download\n",
       "[Context]\nfilesystems=xdg-download;~/Library/Application Support/com.karvo.app:ro\n"},
      {"another group", "[Environment]\nA=1\n",
       "[Environment]\nA=1\n\n[Context]\nfilesystems=~/Library/Application Support/com.karvo.app:ro;\n"},
      {"no final line feed", "[Environment]\nA=1",
       "[Environment]\nA=1\n[Context]\nfilesystems=~/Library/Application Support/com.karvo.app:ro;\n"},
      {"no final line feed in the group", "[Context]\nfilesystems=a;",
       "[Context]\nfilesystems=a;~/Library/Application Support/com.karvo.app:ro;"},
      {"CRLF", "[Context]\r\nshared=network;\r\n",
       "[Context]\r\nfilesystems=~/Library/Application Support/com.karvo.app:ro;\r\nshared=network;\r\n"},
      {"spaces around =", "[Context]\nfilesystems = a\\;b; \n\n[Session Bus Policy]\norg.x=talk\n",
       "[Context]\nfilesystems = a\\;b;~/Library/Application Support/com.karvo.app:ro; \n\n[Session Bus Policy]\norg.x=talk\n"},
      {"indentation and comments", "# mine\n  [Context]\n\tfilesystems=a;\n\n\n", ""},
      {"[Context] twice", "[Context]\nfilesystems=a;\n[Environment]\nA=1\n[Context]\nfilesystems=b;\n", ""},
      {"[Context] twice, the key in the first", "[Context]\nfilesystems=a;\n[Environment]\nA=1\n[Context]\nshared=ipc;\n",
       ""},
      {"the key twice", "[Context]\nfilesystems=a;\nfilesystems=b;\n", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_FALSE(override_grants(r.before, kEntry));
    const OverrideEdit with = override_with(r.before, kEntry);
    ASSERT_FALSE(with.problem) << *with.problem;
    if (!r.with.empty()) {
      EXPECT_EQ(with.text, r.with);
    }
    EXPECT_TRUE(override_grants(with.text, kEntry)) << with.text;
    EXPECT_EQ(override_with(with.text, kEntry).text, with.text);  // once only
    const OverrideEdit without = override_without(with.text, kEntry, with.added);
    ASSERT_FALSE(without.problem) << *without.problem;
    EXPECT_EQ(without.text, r.before);
  }
  // With the key twice, GLib reads the later one: that is where the entry goes.
  EXPECT_EQ(override_with("[Context]\nfilesystems=a;\nfilesystems=b;\n", kEntry).text,
            "[Context]\nfilesystems=a;\nfilesystems=b;~/Library/Application Support/com.karvo.app:ro;\n");
  // The user's own grant is theirs: nothing added, nothing to take back.
  const std::string own = "[Context]\nfilesystems=~/Library/Application Support/com.karvo.app:ro;\n";
  EXPECT_EQ(override_with(own, kEntry).added, OverrideAddition::none);
  // The same path with other access, denied, or in another group is not ours; a text that GLib refuses
  // grants nothing and is left alone.
  EXPECT_FALSE(override_grants("[Context]\nfilesystems=~/Library/Application Support/com.karvo.app;\n", kEntry));
  EXPECT_FALSE(override_grants("[Other]\nfilesystems=~/Library/Application Support/com.karvo.app:ro;\n", kEntry));
  EXPECT_FALSE(override_grants("filesystems=~/Library/Application Support/com.karvo.app:ro;\n", kEntry));
  EXPECT_TRUE(override_with("no group here\n", kEntry).problem);
}

TEST_F(Registration, InSandboxInstallAndRemoveLeaveTheHomeAsItWas) {
  const std::string chromium_app = home_.path() + "/.var/app/org.chromium.Chromium";
  const std::string firefox_app = home_.path() + "/.var/app/org.mozilla.firefox";
  ASSERT_TRUE(testkit::write_file(chromium_app + "/config/chromium/Local State", "{}"));
  ASSERT_TRUE(testkit::make_dirs(firefox_app));
  // An override the user made for Firefox stays as it is.
  const std::string firefox_override = home_.path() + "/.local/share/flatpak/overrides/org.mozilla.firefox";
  ASSERT_TRUE(testkit::write_file(firefox_override, "[Context]\nfilesystems=xdg-download;\n"));
  const std::map<std::string, std::string> before = snapshot(home_.path());

  Request req = install({Browser::chromium, Browser::firefox, Browser::chrome});
  req.in_sandbox = true;
  std::vector<std::string> printed;
  const Outcome o = run_request(req, places_, [&](const std::string& line) { printed.push_back(line); });
  ASSERT_TRUE(o.ok) << all_lines(o);
  EXPECT_EQ(printed, o.lines);
  EXPECT_THAT(all_lines(o), HasSubstr("skipped Google Chrome for --in-sandbox: no Flatpak of it here"));
  struct Expect {
    Browser b;
    std::string manifest;
    std::string override_text;
  };
  const Expect expected[] = {
      {Browser::chromium, chromium_app + "/config/chromium/NativeMessagingHosts/com.karvo.bridge.json",
       "[Context]\nfilesystems=~/Library/Application Support/com.karvo.app:ro;\n"},
      {Browser::firefox, firefox_app + "/.mozilla/native-messaging-hosts/com.karvo.bridge.json",
       "[Context]\nfilesystems=xdg-download;~/Library/Application Support/com.karvo.app:ro;\n"},
  };
  for (const Expect& e : expected) {
    SCOPED_TRACE(key(e.b));
    const std::string copy = sandbox_host_path(e.b, places_);
    EXPECT_EQ(read_text(copy), read_text(places_.root + host_));
    EXPECT_EQ(testkit::file_mode(copy), 0755u);
    EXPECT_EQ(sandbox_manifest_dir(e.b, places_) + "/com.karvo.bridge.json", e.manifest);
    const ManifestCheck m = check_manifest(read_text(e.manifest).value_or(""), family(e.b));
    EXPECT_FALSE(m.problem);
    EXPECT_EQ(m.host_path, copy);  // the sandbox sees the app's folder at the same path
    EXPECT_EQ(read_text(flatpak_override_path(e.b, places_)), e.override_text);
    EXPECT_EQ(testkit::file_mode(copy.substr(0, copy.rfind('/'))), 0700u);
  }
  // Each change was announced before it was made; the same request again changes nothing.
  EXPECT_THAT(all_lines(o), HasSubstr("copy " + places_.root + host_ + " into Chromium's sandbox"));
  EXPECT_THAT(all_lines(o), HasSubstr("grant org.mozilla.firefox read access to " + karvo_data_dir(places_)));
  const Outcome again = run_request(req, places_);
  EXPECT_THAT(all_lines(again), Not(HasSubstr("wrote "))) << all_lines(again);
  EXPECT_THAT(all_lines(again), Not(HasSubstr("grant "))) << all_lines(again);

  // allow reaches the manifests inside the sandboxes too.
  Request allow = install({Browser::chromium});
  allow.action = Action::allow;
  allow.origins = {"chrome-extension://pppppppppppppppppppppppppppppppp/"};
  const Outcome allowed = run_request(allow, places_);
  ASSERT_TRUE(allowed.ok);
  EXPECT_THAT(all_lines(allowed), HasSubstr("wrote " + expected[0].manifest + " (Chromium inside its Flatpak sandbox)"));
  EXPECT_EQ(check_manifest(read_text(expected[0].manifest).value_or(""), Family::chromium).allowed.size(), 2u);

  const Outcome removed = run_request(remove({}), places_);
  ASSERT_TRUE(removed.ok) << all_lines(removed);
  EXPECT_EQ(snapshot(home_.path()), before) << all_lines(removed);
}

// Install then remove gives back the home as it was, whatever the user had made before: empty folders
// on the way stay, and so do a file at our copy's path and the user's own grant.
TEST_F(Registration, RemoveTakesBackOnlyWhatInstallMade) {
  const std::string app = home_.path() + "/.var/app/org.chromium.Chromium";
  const std::string overrides = home_.path() + "/.local/share/flatpak/overrides/org.chromium.Chromium";
  struct Row {
    std::string_view what;
    std::function<bool()> make;
  };
  const Row rows[] = {
      {"nothing", [] { return true; }},
      {"an empty ~/.config", [&] { return testkit::make_dirs(home_.path() + "/.config"); }},
      {"an empty ~/.mozilla/native-messaging-hosts",
       [&] { return testkit::make_dirs(home_.path() + "/.mozilla/native-messaging-hosts"); }},
      {"an empty config folder in the app's", [&] { return testkit::make_dirs(app + "/config"); }},
      {"an empty override file", [&] { return testkit::write_file(overrides, ""); }},
      {"the user's own grant",
       [&] { return testkit::write_file(overrides, "[Context]\nfilesystems=~/Library/Application Support/com.karvo.app:ro;\n"); }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::filesystem::remove_all(home_.path() + "/.config");
    std::filesystem::remove_all(home_.path() + "/.mozilla");
    std::filesystem::remove_all(home_.path() + "/.var");
    std::filesystem::remove_all(home_.path() + "/.local");
    ASSERT_TRUE(testkit::make_dirs(app));
    ASSERT_TRUE(r.make());
    const std::map<std::string, std::string> before = snapshot(home_.path());
    Request req = install({Browser::chrome, Browser::chromium, Browser::firefox});
    req.in_sandbox = true;
    const Outcome installed = run_request(req, places_);
    ASSERT_TRUE(installed.ok) << all_lines(installed);
    const Outcome removed = run_request(remove({}), places_);
    EXPECT_TRUE(removed.ok) << all_lines(removed);
    EXPECT_EQ(snapshot(home_.path()), before) << all_lines(removed);
  }
  // With nothing installed, a file of the user's at the copy's path is neither removed nor overwritten.
  const std::string copy = sandbox_host_path(Browser::chromium, places_);
  ASSERT_TRUE(testkit::write_file(copy, "mine", 0755));
  EXPECT_THAT(all_lines(run_request(remove({Browser::chromium}), places_)), HasSubstr("left " + copy + " alone"));
  Request req = install({Browser::chromium});
  req.in_sandbox = true;
  EXPECT_FALSE(run_request(req, places_).ok);
  EXPECT_EQ(testkit::read_file(copy), "mine");

  // A huge (sparse) override file is left alone, unread, and the rest of the registration is done.
  ASSERT_EQ(::unlink(copy.c_str()), 0);
  ASSERT_TRUE(testkit::plant_unusable_endpoint(overrides, testkit::UnusableEndpoint::sparse, "[Context]\n"));
  const auto size = std::filesystem::file_size(overrides);
  const Outcome huge = run_request(req, places_);
  EXPECT_FALSE(huge.ok);
  EXPECT_THAT(all_lines(huge), HasSubstr("left " + overrides + " alone: it is larger than 1 MiB"));
  EXPECT_TRUE(is_our_manifest(read_text(sandbox_manifest_dir(Browser::chromium, places_) + "/com.karvo.bridge.json").value_or("")));
  EXPECT_EQ(std::filesystem::file_size(overrides), size);
}

TEST_F(Registration, CommandLine) {
  const std::vector<std::string> env = home_.env({"XDG_CONFIG_HOME="});
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), testkit::bin("karvo-register"));
    testkit::Child c(std::move(args), env);
    const std::string out = c.read_until_eof(10s);
    return std::make_pair(c.wait_exit(10s).value_or(-1), out + c.stderr_text());
  };
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{}, {"frobnicate"}, {"install", "--browser", "opera", "--origin", std::string(kOrigin)},
        {"install", "--browser", "chromium", "--origin", "chrome-extension://nope/"},
        {"install", "--browser", "firefox", "--origin", std::string(kOrigin)},
        {"install", "--browser", "chromium"}, {"install", "--all", "--browser", "edge", "--origin", std::string(kOrigin)}}) {
    EXPECT_EQ(run(bad).first, 2) << ::testing::PrintToString(bad);
  }
  EXPECT_THAT(run({"--help"}).second, HasSubstr("com.karvo.bridge"));
  EXPECT_THAT(run({"--version"}).second, ::testing::MatchesRegex("karvo-register [0-9.]+\n"));

  // The default host is the karvo-host beside the program.
  const auto [status, out] = run({"install", "--browser", "chromium", "--origin", "abcdefghijklmnopabcdefghijklmnop"});
  EXPECT_EQ(status, 0) << out;
  const std::string manifest = home_.path() + "/.config/chromium/NativeMessagingHosts/com.karvo.bridge.json";
  const ManifestCheck c = check_manifest(read_text(manifest).value_or(""), Family::chromium);
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::equivalent(c.host_path, testkit::bin("karvo-host"), ec)) << c.host_path;
  EXPECT_EQ(c.allowed, std::vector<std::string>{std::string(kOrigin)});
  EXPECT_EQ(run({"remove", "--browser", "chromium"}).first, 0);
  EXPECT_FALSE(testkit::path_exists(manifest));
}

}  // namespace
}  // namespace karvo::reg
