#include "browser_session.h"

#include <unistd.h>

#include <cstdlib>

#include "zip_writer.h"

namespace karvo::browsertest {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartTimeout = 90s;  // a cold start on a loaded machine

// The browsers' programs; the environment may name others.
std::string program(BrowserKind kind) {
  const char* env = std::getenv(kind == BrowserKind::chromium ? "KARVO_CHROMIUM" : "KARVO_FIREFOX");
  if (env != nullptr && *env != '\0') return env;
  // Chromium's program itself: the /usr/bin wrapper adds flags of its own and complains without a shell.
  return kind == BrowserKind::chromium ? "/usr/lib/chromium/chromium" : "/usr/lib/firefox-esr/firefox-esr";
}

std::string agent_source(std::string_view file) {
  return std::string(KARVO_SOURCE_DIR) + "/host/tests/browser/extension/" + std::string(file);
}

// Quiet, offline and accepting the unsigned agent from the profile's extensions folder.
constexpr std::string_view kFirefoxPrefs = R"(user_pref("xpinstall.signatures.required", false);
user_pref("extensions.autoDisableScopes", 0);
user_pref("extensions.enabledScopes", 15);
user_pref("extensions.update.enabled", false);
user_pref("extensions.getAddons.cache.enabled", false);
user_pref("extensions.systemAddon.update.enabled", false);
user_pref("app.update.enabled", false);
user_pref("app.normandy.enabled", false);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("datareporting.healthreport.uploadEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
user_pref("browser.safebrowsing.downloads.enabled", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
)";

}  // namespace

std::string_view kind_name(BrowserKind kind) { return kind == BrowserKind::chromium ? "chromium" : "firefox"; }

bool sandbox_available() {
  if (!testkit::path_exists("/usr/bin/bwrap")) return false;
  testkit::Child probe({"/usr/bin/bwrap", "--ro-bind", "/", "/", "--dev-bind", "/dev", "/dev", "--proc", "/proc",
                        "--tmpfs", "/tmp", "/bin/true"},
                       testkit::current_env());
  return probe.wait_exit(30s) == 0;
}

namespace {
constexpr std::string_view kDataDirGrant = "~/Library/Application Support/com.karvo.app:ro";
}  // namespace

BrowserSession::BrowserSession(BrowserKind kind, const testkit::ScratchHome& home, ReportServer& server,
                               const std::vector<std::string>& extra_env, Sandbox sandbox)
    : kind_(kind), sandbox_(sandbox), home_(home), server_(server) {
  std::vector<std::string> vars = {"XDG_CONFIG_HOME=" + home.path() + "/.config",
                                   "XDG_CACHE_HOME=" + home.path() + "/.cache",
                                   "XDG_DATA_HOME=" + home.path() + "/.local/share", "MOZ_HEADLESS=1",
                                   "MOZ_CRASHREPORTER_DISABLE=1"};
  vars.insert(vars.end(), extra_env.begin(), extra_env.end());
  env_ = home.env(vars);

  const std::string exe = program(kind);
  if (!testkit::path_exists(exe)) {
    error_ = std::string(kind_name(kind)) + " is not installed here (" + exe +
             " is missing): run scripts/install-browsers.sh";
    return;
  }
  if (!server.ok()) {
    error_ = "the report server could not listen on 127.0.0.1";
    return;
  }
  // A sandboxed browser keeps everything in its app folder, the agent too, so that it sees it.
  const std::string agent_dir = (sandbox == Sandbox::none ? home.path() : app_dir()) + "/agent";
  if (sandbox != Sandbox::none && !testkit::make_dirs(app_dir() + "/config")) {
    error_ = "cannot make " + app_dir();
    return;
  }
  if (!prepare_agent(agent_dir) || !register_host()) return;
  const std::string override_file = home.path() + "/.local/share/flatpak/overrides/" + std::string(kChromiumFlatpakId);
  if (sandbox == Sandbox::flatpak_without_override) ::unlink(override_file.c_str());

  testkit::Child::Options options;
  options.argv = kind == BrowserKind::chromium ? chromium_argv(agent_dir) : firefox_argv();
  if (!error_.empty()) return;
  options.env = env_;
  if (sandbox != Sandbox::none) {
    // Inside, the XDG folders are the app's own, as Flatpak sets them.
    std::vector<std::string> inside = {"XDG_CONFIG_HOME=" + app_dir() + "/config",
                                       "XDG_CACHE_HOME=" + app_dir() + "/cache", "XDG_DATA_HOME=" + app_dir() + "/data"};
    inside.insert(inside.end(), extra_env.begin(), extra_env.end());
    options.env = home.env(inside);
    options.argv = in_sandbox(std::move(options.argv));
  }
  options.cwd = home.path();
  options.in = testkit::Stdio::null;
  server_.begin_session();  // a poll still held open by an earlier browser gets no command
  browser_ = std::make_unique<testkit::Child>(std::move(options));
  if (!browser_->started()) {
    error_ = "could not start " + exe + " (errno " + std::to_string(browser_->spawn_error()) + ")";
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!server.wait_polled(200ms)) {
    if (!browser_->running()) {
      error_ = std::string(kind_name(kind)) + " ended before its agent reached the test; its output:\n" + log();
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      error_ = std::string(kind_name(kind)) + "'s agent did not reach the test within 90 s; its output:\n" + log();
      return;
    }
  }
}

BrowserSession::~BrowserSession() = default;  // the Child kills the browser's process group

std::string BrowserSession::log() const {
  if (!browser_) return {};
  std::string text = browser_->stderr_text();
  constexpr std::size_t kTail = 8000;
  return text.size() > kTail ? "..." + text.substr(text.size() - kTail) : text;
}

bool BrowserSession::prepare_agent(const std::string& dir) {
  const bool chromium = kind_ == BrowserKind::chromium;
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string_view name : {"agent.js", "worker.js"}) {
    if (!chromium && name == "worker.js") continue;
    std::optional<std::string> text = testkit::read_file(agent_source(name));
    if (!text) {
      error_ = "cannot read " + agent_source(name);
      return false;
    }
    files.emplace_back(std::string(name), std::move(*text));
  }
  const std::string manifest_name = chromium ? "manifest.chromium.json" : "manifest.firefox.json";
  std::optional<std::string> manifest = testkit::read_file(agent_source(manifest_name));
  if (!manifest) {
    error_ = "cannot read " + agent_source(manifest_name);
    return false;
  }
  files.emplace_back("manifest.json", std::move(*manifest));
  files.emplace_back("config.js", "const KARVO_TEST_SERVER = \"" + server_.url() + "\";\n");

  if (chromium) {
    for (const auto& [name, content] : files) {
      if (!testkit::write_file(dir + "/" + name, content)) {
        error_ = "cannot write the agent into " + dir;
        return false;
      }
    }
    return true;
  }
  // Firefox sideloads a package named after the extension's id from the profile.
  const std::string xpi = home_.path() + "/firefox-profile/extensions/" + std::string(kFirefoxAgentId) + ".xpi";
  if (!testkit::write_file(xpi, zip_stored(files))) {
    error_ = "cannot write " + xpi;
    return false;
  }
  return true;
}

std::string BrowserSession::app_dir() const { return home_.path() + "/.var/app/" + std::string(kChromiumFlatpakId); }

// bubblewrap's view of a Flatpak: / read-only, /tmp (and with it the scratch home) hidden, the app's
// folder writable at its own path, and Karvo's data directory read-only when the override grants it.
std::vector<std::string> BrowserSession::in_sandbox(std::vector<std::string> argv) const {
  std::vector<std::string> out = {"/usr/bin/bwrap", "--die-with-parent", "--ro-bind", "/", "/", "--dev-bind", "/dev",
                                  "/dev", "--proc", "/proc", "--tmpfs", "/tmp", "--bind", app_dir(), app_dir()};
  const std::string override_file = home_.path() + "/.local/share/flatpak/overrides/" + std::string(kChromiumFlatpakId);
  if (testkit::read_file(override_file).value_or("").find(std::string(kDataDirGrant) + ";") != std::string::npos) {
    out.insert(out.end(), {"--ro-bind", home_.data_dir(), home_.data_dir()});
  }
  out.emplace_back("--");
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

bool BrowserSession::register_host() {
  const bool chromium = kind_ == BrowserKind::chromium;
  std::vector<std::string> args = {testkit::bin("karvo-register"), "install", "--browser", std::string(kind_name(kind_)),
                                   chromium ? "--origin" : "--extension-id",
                                   std::string(chromium ? kChromiumAgentOrigin : kFirefoxAgentId), "--host",
                                   testkit::bin("karvo-host")};
  if (sandbox_ != Sandbox::none) args.emplace_back("--in-sandbox");
  testkit::Child reg(std::move(args), env_);
  const std::string out = reg.read_until_eof(30s);
  if (reg.wait_exit(30s) != 0) {
    error_ = "karvo-register failed: " + out + reg.stderr_text();
    return false;
  }
  return true;
}

std::vector<std::string> BrowserSession::chromium_argv(const std::string& agent_dir) const {
  // The profile lies where karvo-register puts this user's manifests: <profile>/NativeMessagingHosts.
  return {program(kind_),
          "--headless=new",
          "--no-sandbox",
          "--disable-gpu",
          "--disable-quic",
          "--no-first-run",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--user-data-dir=" + (sandbox_ == Sandbox::none ? home_.path() + "/.config" : app_dir() + "/config") + "/chromium",
          "--load-extension=" + agent_dir,
          "about:blank"};
}

std::vector<std::string> BrowserSession::firefox_argv() {
  const std::string profile = home_.path() + "/firefox-profile";
  if (!testkit::write_file(profile + "/user.js", kFirefoxPrefs)) error_ = "cannot write " + profile + "/user.js";
  return {program(kind_), "--headless", "--no-remote", "--profile", profile, "about:blank"};
}

bool BrowserSession::run(Json command, Ms timeout) {
  const int seq = server_.next_seq();
  command["seq"] = seq;
  server_.push(std::move(command));
  const std::optional<Json> done = server_.wait_report(
      [&](const Json& r) { return r.value("event", "") == "done" && r.value("seq", 0) == seq; }, timeout);
  return done && !done->contains("error");
}

}  // namespace karvo::browsertest
