// A real headless browser (Debian's chromium or firefox-esr) in a scratch home, with karvo-host
// registered through karvo-register and the test agent extension loaded. The agent takes commands and
// reports through a ReportServer.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "report_server.h"
#include "testkit.h"

namespace karvo::browsertest {

enum class BrowserKind { chromium, firefox };

std::string_view kind_name(BrowserKind kind);

// The agent's identity, fixed by the "key" of its Chromium manifest and the gecko id of its Firefox one.
inline constexpr std::string_view kChromiumAgentOrigin = "chrome-extension://cbbimhpbdogbhebkmlpjcgapbjhklbgo/";
inline constexpr std::string_view kFirefoxAgentId = "bridge-test@karvo.com";

// Chromium as its Flatpak (org.chromium.Chromium) sees the world, made with bubblewrap: the home hidden
// but for the app's own folder ~/.var/app/<id> and what the app's override file grants, the rest of
// the system read-only, the network shared. karvo-register puts the host inside with --in-sandbox.
enum class Sandbox {
  none,
  flatpak,
  flatpak_without_override,  // the same, with the override file taken away after registering
};

inline constexpr std::string_view kChromiumFlatpakId = "org.chromium.Chromium";

// Whether bubblewrap can make the namespaces it needs here.
bool sandbox_available();

class BrowserSession {
 public:
  // Registers the host, writes the agent and the profile into `home`, starts the browser with `home`'s
  // environment plus `extra_env`, and waits until the agent polls the server. error() says what failed.
  BrowserSession(BrowserKind kind, const testkit::ScratchHome& home, ReportServer& server,
                 const std::vector<std::string>& extra_env = {}, Sandbox sandbox = Sandbox::none);
  ~BrowserSession();
  BrowserSession(const BrowserSession&) = delete;
  BrowserSession& operator=(const BrowserSession&) = delete;

  const std::string& error() const { return error_; }
  BrowserKind kind() const { return kind_; }
  // The browser's standard error so far (the native host's lines land there or in its console).
  std::string log() const;

  // Sends a command to the agent and waits until the agent has carried it out. False on a timeout or
  // an error reported by the agent.
  bool run(Json command, Ms timeout = Ms(30'000));

 private:
  bool prepare_agent(const std::string& dir);
  bool register_host();
  std::vector<std::string> chromium_argv(const std::string& agent_dir) const;
  std::vector<std::string> in_sandbox(std::vector<std::string> argv) const;
  std::string app_dir() const;
  std::vector<std::string> firefox_argv();

  BrowserKind kind_;
  Sandbox sandbox_;
  const testkit::ScratchHome& home_;
  ReportServer& server_;
  std::vector<std::string> env_;
  std::string error_;
  std::unique_ptr<testkit::Child> browser_;
};

}  // namespace karvo::browsertest
