// karvo-standin-app: a small stand-in for the Karvo desktop application, used by tests and for trying
// clients out by hand. It is not part of the host or of the Safari extension.
//
// It listens on 127.0.0.1, publishes its endpoint file, authenticates clients, answers greetings and
// messages with an "id", and misbehaves on demand. Every event is one line on standard output (and in
// the --events file); commands arrive on standard input. Run with --help for the options.
//
// One thread, one poll loop, non-blocking sockets.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "sys.h"

namespace {

using karvo::testkit::OwnedFd;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

constexpr std::string_view kUsage =
    R"(usage: karvo-standin-app [options]
  --home DIR              home directory (default $HOME); the endpoint file goes to
                          DIR/Library/Application Support/<app-id>/ipc.json
  --app-id ID             application identifier (default com.karvo.app)
  --token T               fixed token (default: random)
  --exe PATH | --no-exe   "exe" of the endpoint file (default: this program's path)
  --port N                fixed port (default: any free one)
  --background            accepted and ignored
  --pid-file PATH         write the process id there (removed at exit)
  --events PATH           append every event line to PATH as well
  --exit-after SECONDS    exit on its own after that long
  --quiet                 no "recv" events after authentication (for heavy traffic)
misbehaviour:
  --publish-delay MS      publish the endpoint file MS milliseconds after listening
  --auth-delay MS         answer the authentication MS milliseconds late (later lines wait for it)
  --auth-never            never answer the authentication (later lines stay unread)
  --auth-close            close the link on the authentication message, without a reply
  --refuse-all            refuse every token
  --auth-reply TEXT       send TEXT instead of the authentication reply
  --after-auth LINE       send LINE in the same write right behind the authentication reply
  --unsolicited LINE      send LINE after authentication (once, or every --unsolicited-every MS)
  --unsolicited-every MS
  --send-invalid-utf8     send a line with invalid UTF-8 after authentication
  --send-big BYTES        send one line of BYTES bytes (without LF) after authentication
  --close-after N         close a link after answering its Nth message (0: right after authentication)
  --no-answer             answer nothing after authentication
  --echo                  send every received line back verbatim instead of answering
extra options may also come from the environment variable KARVO_STANDIN_ARGS, one per line.
commands on standard input: send <conn|all> <line>, sendraw <conn|all> <hex>, close <conn|all>,
  publish, unpublish, quit (the end of standard input ends nothing)
events, one per line on standard output: args, listening, published, accepted, recv, auth, sent,
  closed, unpublished, error, exiting
it also exits when its home directory disappears.
)";

constexpr std::size_t kReadChunk = 65536;
constexpr std::size_t kReadBudget = 1 << 20;     // per link and loop turn, so no link starves others
constexpr std::size_t kOutputHighWater = 4 << 20;  // stop reading a link whose peer does not read
constexpr auto kLinger = std::chrono::seconds(2);  // wait for the peer's end after closing ours
constexpr auto kHomeCheck = std::chrono::seconds(1);

struct Options {
  std::string home;
  std::string app_id = "com.karvo.app";
  std::optional<std::string> token;
  std::optional<std::string> exe;
  bool no_exe = false;
  std::uint16_t port = 0;
  std::string pid_file;
  std::string events_path;
  std::optional<double> exit_after;
  bool quiet = false;
  long publish_delay_ms = 0;
  long auth_delay_ms = 0;
  bool auth_never = false;
  bool auth_close = false;
  bool refuse_all = false;
  std::optional<std::string> auth_reply;
  std::optional<std::string> after_auth;
  std::optional<std::string> unsolicited;
  long unsolicited_every_ms = 0;
  bool send_invalid_utf8 = false;
  std::optional<std::size_t> send_big;
  std::optional<long> close_after;
  bool no_answer = false;
  bool echo = false;
};

template <typename T>
bool parse_number(std::string_view text, T& out) {
  const auto* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end;
}

bool parse_seconds(const std::string& text, double& out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < 0) return false;
  out = v;
  return true;
}

// Returns an error text, or nothing when the options are fine.
std::optional<std::string> parse_options(const std::vector<std::string>& args, Options& o) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) -> bool {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    auto number = [&](auto& out) -> bool {
      if (!value(v) || !parse_number(v, out)) return false;
      if constexpr (std::is_signed_v<std::remove_reference_t<decltype(out)>>) return out >= 0;
      return true;
    };
    bool good = true;
    if (a == "--home") {
      good = value(o.home);
    } else if (a == "--app-id") {
      good = value(o.app_id);
    } else if (a == "--token") {
      good = value(v);
      o.token = v;
    } else if (a == "--exe") {
      good = value(v);
      o.exe = v;
      o.no_exe = false;
    } else if (a == "--no-exe") {
      o.no_exe = true;
    } else if (a == "--port") {
      good = number(o.port);
    } else if (a == "--background") {
    } else if (a == "--pid-file") {
      good = value(o.pid_file);
    } else if (a == "--events") {
      good = value(o.events_path);
    } else if (a == "--exit-after") {
      double s = 0;
      good = value(v) && parse_seconds(v, s);
      o.exit_after = s;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--publish-delay") {
      good = number(o.publish_delay_ms);
    } else if (a == "--auth-delay") {
      good = number(o.auth_delay_ms);
    } else if (a == "--auth-never") {
      o.auth_never = true;
    } else if (a == "--auth-close") {
      o.auth_close = true;
    } else if (a == "--refuse-all") {
      o.refuse_all = true;
    } else if (a == "--auth-reply") {
      good = value(v);
      o.auth_reply = v;
    } else if (a == "--after-auth") {
      good = value(v);
      o.after_auth = v;
    } else if (a == "--unsolicited") {
      good = value(v);
      o.unsolicited = v;
    } else if (a == "--unsolicited-every") {
      good = number(o.unsolicited_every_ms) && o.unsolicited_every_ms > 0;
    } else if (a == "--send-invalid-utf8") {
      o.send_invalid_utf8 = true;
    } else if (a == "--send-big") {
      std::size_t n = 0;
      good = number(n);
      o.send_big = n;
    } else if (a == "--close-after") {
      long n = 0;
      good = number(n);
      o.close_after = n;
    } else if (a == "--no-answer") {
      o.no_answer = true;
    } else if (a == "--echo") {
      o.echo = true;
    } else {
      return "unknown option " + a;
    }
    if (!good) return "bad or missing value for " + a;
  }
  if (o.home.empty()) return std::string("no home directory: give --home or set HOME");
  return std::nullopt;
}

// --- events -------------------------------------------------------------------------------------

// Event lines are gathered during one turn of the loop and written before the loop sleeps again, and
// before any bytes go out on a link or a link is closed, so that a reader who sees what a link did
// already has the events for it.
class Events {
 public:
  void open_file(const std::string& path) {
    if (path.empty()) return;
    karvo::testkit::make_dirs(karvo::testkit::parent_dir(path));
    file_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!file_) std::fprintf(stderr, "karvo-standin-app: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
  }
  void emit(std::string_view line) {
    pending_.append(line);
    pending_.push_back('\n');
  }
  void flush() {
    if (pending_.empty()) return;
    if (stdout_ok_) stdout_ok_ = karvo::testkit::write_fully(STDOUT_FILENO, pending_);
    if (file_) karvo::testkit::write_fully(file_.get(), pending_);
    pending_.clear();
  }

 private:
  std::string pending_;
  OwnedFd file_;
  bool stdout_ok_ = true;
};

Events g_events;

// --- signals ------------------------------------------------------------------------------------

int g_signal_pipe_write = -1;

extern "C" void on_signal(int) {
  const int saved = errno;
  const char byte = 's';
  [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe_write, &byte, 1);
  errno = saved;
}

// --- links --------------------------------------------------------------------------------------

enum class LinkState {
  awaiting_auth,  // nothing read yet but the connection
  auth_pending,   // authentication line read, reply held back (--auth-delay, --auth-never)
  open,           // authenticated
  closing,        // sending what is queued, then ending our side
  lingering,      // our side ended; waiting for the peer's end before closing the socket
};

struct Link {
  int id = 0;
  OwnedFd fd;
  std::string in;
  std::string out;
  std::size_t out_off = 0;
  LinkState state = LinkState::awaiting_auth;
  bool auth_ok = false;
  Clock::time_point due{};  // auth reply (auth_pending) or give-up time (lingering)
  long messages = 0;
  bool dead = false;
  std::size_t queued() const { return out.size() - out_off; }
};

class App {
 public:
  explicit App(Options o) : opt_(std::move(o)) {}
  int run();

 private:
  bool listen_socket();
  bool publish();
  void unpublish();
  std::string ipc_dir() const { return opt_.home + "/Library/Application Support/" + opt_.app_id; }
  std::string ipc_path() const { return ipc_dir() + "/ipc.json"; }

  void accept_links();
  void read_link(Link& l);
  void process_lines(Link& l);
  void handle_line(Link& l, std::string_view line);
  bool check_auth(std::string_view line) const;
  void finish_auth(Link& l);
  void answer(Link& l, std::string_view line);
  void queue(Link& l, std::string_view bytes);
  void flush_link(Link& l);
  void start_close(Link& l);
  void drop(Link& l);
  void read_commands();
  void command(std::string_view line);
  template <typename F>
  bool for_target(std::string_view target, bool open_only, F f);
  std::optional<Clock::time_point> next_deadline() const;
  void run_timers();

  Options opt_;
  std::string token_;
  OwnedFd listen_fd_;
  OwnedFd signal_read_;
  OwnedFd signal_write_;
  std::uint16_t port_ = 0;
  bool published_ = false;
  std::optional<Clock::time_point> publish_at_;
  std::optional<Clock::time_point> exit_at_;
  std::optional<Clock::time_point> unsolicited_at_;
  Clock::time_point home_check_at_{};
  bool stdin_open_ = true;
  std::string stdin_buf_;
  bool quit_ = false;
  int next_id_ = 1;
  std::map<int, std::unique_ptr<Link>> links_;
};

std::string random_token() {
  std::random_device rd;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string t;
  for (int i = 0; i < 32; ++i) t.push_back(kHex[rd() % 16]);
  return t;
}

bool App::listen_socket() {
  listen_fd_ = karvo::testkit::tcp_socket();
  if (!listen_fd_) return false;
  const int one = 1;
  ::setsockopt(listen_fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(opt_.port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return false;
  if (::listen(listen_fd_.get(), SOMAXCONN) != 0) return false;
  socklen_t len = sizeof addr;
  if (::getsockname(listen_fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
  port_ = ntohs(addr.sin_port);
  return karvo::testkit::set_nonblocking(listen_fd_.get(), true);
}

bool App::publish() {
  Json doc;
  doc["port"] = port_;
  doc["token"] = token_;
  if (!opt_.no_exe) {
    if (opt_.exe) {
      doc["exe"] = *opt_.exe;
    } else if (auto self = karvo::testkit::self_executable()) {
      doc["exe"] = *self;
    }
  }
  const std::string dir = ipc_dir();
  if (!karvo::testkit::make_dirs(dir, 0755)) {
    g_events.emit("error cannot create " + dir + ": " + std::strerror(errno));
    return false;
  }
  // Readers must never see a half-written file: write a temporary one beside it and rename it over.
  const std::string tmp = dir + "/.ipc.json." + std::to_string(::getpid()) + ".tmp";
  ::unlink(tmp.c_str());
  OwnedFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  bool ok = fd && ::fchmod(fd.get(), 0600) == 0 && karvo::testkit::write_fully(fd.get(), doc.dump() + "\n");
  fd.reset();
  ok = ok && ::rename(tmp.c_str(), ipc_path().c_str()) == 0;
  if (!ok) {
    g_events.emit("error cannot publish " + ipc_path() + ": " + std::strerror(errno));
    ::unlink(tmp.c_str());
    return false;
  }
  published_ = true;
  g_events.emit("published " + ipc_path());
  return true;
}

// Removes the endpoint file, but only while it is still ours: another instance may have replaced it.
void App::unpublish() {
  if (!published_) return;
  published_ = false;
  const std::string path = ipc_path();
  const Json doc = Json::parse(karvo::testkit::read_file(path).value_or(""), nullptr, false);
  const bool ours = doc.is_object() && doc.value("port", -1) == port_ && doc.contains("token") &&
                    doc["token"].is_string() && doc["token"].get<std::string>() == token_;
  if (ours && ::unlink(path.c_str()) == 0) g_events.emit("unpublished " + path);
}

void App::accept_links() {
  for (;;) {
    OwnedFd accepted = karvo::testkit::accept_connection(listen_fd_.get(), /*nonblocking=*/true);
    if (!accepted) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN, or out of descriptors: try again on the next turn
    }
    auto link = std::make_unique<Link>();
    link->fd = std::move(accepted);
    link->id = next_id_++;
    const int one = 1;
    ::setsockopt(link->fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    g_events.emit("accepted " + std::to_string(link->id));
    links_.emplace(link->id, std::move(link));
  }
}

void App::read_link(Link& l) {
  char buf[kReadChunk];
  std::size_t budget = kReadBudget;
  while (budget > 0 && !l.dead) {
    const ssize_t n = ::recv(l.fd.get(), buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      drop(l);
      return;
    }
    if (n == 0) {
      // The peer ended its side. A last line without LF still counts.
      if (l.state == LinkState::lingering) {
        drop(l);
        return;
      }
      if (!l.in.empty() && l.in.back() != '\n') l.in.push_back('\n');
      process_lines(l);
      flush_link(l);
      drop(l);
      return;
    }
    budget -= std::min(budget, static_cast<std::size_t>(n));
    if (l.state == LinkState::lingering) continue;  // our side is over: discard
    l.in.append(buf, static_cast<std::size_t>(n));
    process_lines(l);
  }
}

void App::process_lines(Link& l) {
  std::size_t start = 0;
  while (!l.dead && (l.state == LinkState::awaiting_auth || l.state == LinkState::open)) {
    const auto nl = l.in.find('\n', start);
    if (nl == std::string::npos) break;
    handle_line(l, std::string_view(l.in).substr(start, nl - start));
    start = nl + 1;
  }
  l.in.erase(0, start);
}

bool App::check_auth(std::string_view line) const {
  if (opt_.refuse_all) return false;
  const Json msg = Json::parse(line, nullptr, false);
  if (!msg.is_object()) return false;
  auto is = [&](const char* key, const std::string& want) {
    const auto it = msg.find(key);
    return it != msg.end() && it->is_string() && it->get<std::string>() == want;
  };
  return is("type", "auth") && is("role", "browser") && is("token", token_);
}

void App::handle_line(Link& l, std::string_view line) {
  const std::string id = std::to_string(l.id);
  if (l.state == LinkState::awaiting_auth) {
    g_events.emit("recv " + id + " " + std::string(line));
    if (opt_.auth_close) {
      g_events.emit("auth " + id + " refused");
      drop(l);
      return;
    }
    l.auth_ok = check_auth(line);
    l.state = LinkState::auth_pending;
    if (opt_.auth_never) return;
    if (opt_.auth_delay_ms > 0) {
      l.due = Clock::now() + std::chrono::milliseconds(opt_.auth_delay_ms);
      return;
    }
    finish_auth(l);
    return;
  }
  // Open.
  if (!opt_.quiet) g_events.emit("recv " + id + " " + std::string(line));
  ++l.messages;
  answer(l, line);
  if (opt_.close_after && l.messages >= *opt_.close_after) start_close(l);
}

void App::finish_auth(Link& l) {
  const std::string id = std::to_string(l.id);
  std::string reply;
  if (opt_.auth_reply) {
    reply = *opt_.auth_reply;
  } else {
    reply = l.auth_ok ? R"({"ok":true,"type":"auth"})" : R"({"ok":false,"type":"auth"})";
  }
  reply.push_back('\n');
  if (!l.auth_ok) {
    queue(l, reply);
    g_events.emit("auth " + id + " refused");
    start_close(l);
    return;
  }
  if (opt_.after_auth) reply += *opt_.after_auth + "\n";
  queue(l, reply);  // one write: reply and the line behind it
  flush_link(l);
  g_events.emit("auth " + id + " ok");
  l.state = LinkState::open;
  if (opt_.unsolicited && opt_.unsolicited_every_ms == 0) queue(l, *opt_.unsolicited + "\n");
  if (opt_.send_invalid_utf8) queue(l, "{\"id\":\"bad-utf8\",\"text\":\"\xff\xfe\xc3\"}\n");
  if (opt_.send_big) {
    std::string big = R"({"id":"big","pad":")";
    const std::string tail = "\"}";
    if (*opt_.send_big > big.size() + tail.size()) big.append(*opt_.send_big - big.size() - tail.size(), 'x');
    big += tail + "\n";
    queue(l, big);
  }
  if (opt_.close_after && *opt_.close_after == 0) start_close(l);
}

void App::answer(Link& l, std::string_view line) {
  if (opt_.no_answer) return;
  if (opt_.echo) {
    std::string copy(line);
    copy.push_back('\n');
    queue(l, copy);
    return;
  }
  const Json msg = Json::parse(line, nullptr, false);
  if (!msg.is_object()) return;
  const auto type = msg.find("type");
  const auto id = msg.find("id");
  Json reply;
  if (type != msg.end() && type->is_string() && type->get<std::string>() == "hello") {
    reply = {{"type", "hello"}, {"app", "karvo-standin-app"}, {"link", l.id}};
    if (id != msg.end()) reply["id"] = *id;
  } else if (id != msg.end()) {
    reply = {{"id", *id}, {"type", "reply"}, {"echo", msg}};
  } else {
    return;
  }
  // Lines that are not valid UTF-8 still get an answer: their text is written with replacements.
  queue(l, reply.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n");
}

void App::queue(Link& l, std::string_view bytes) {
  if (l.dead || l.state == LinkState::lingering) return;
  l.out.append(bytes);
}

void App::flush_link(Link& l) {
  // Event lines go out before the bytes they tell of: whoever sees the bytes can find the events.
  if (l.queued() > 0 || l.state == LinkState::closing) g_events.flush();
  while (!l.dead && l.queued() > 0) {
    const ssize_t n = ::send(l.fd.get(), l.out.data() + l.out_off, l.queued(), karvo::testkit::kSendFlags);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      drop(l);
      return;
    }
    l.out_off += static_cast<std::size_t>(n);
  }
  if (l.dead) return;
  if (l.out_off == l.out.size()) {
    l.out.clear();
    l.out_off = 0;
  } else if (l.out_off > (1 << 20)) {
    l.out.erase(0, l.out_off);
    l.out_off = 0;
  }
  if (l.state == LinkState::closing && l.queued() == 0) {
    // Everything is sent: end our side, then wait a little for the peer's end, so that unread
    // bytes of the peer do not turn our close into a reset that could lose what we sent.
    ::shutdown(l.fd.get(), SHUT_WR);
    l.state = LinkState::lingering;
    l.due = Clock::now() + kLinger;
  }
}

void App::start_close(Link& l) {
  if (l.dead || l.state == LinkState::closing || l.state == LinkState::lingering) return;
  l.state = LinkState::closing;
  g_events.emit("closed " + std::to_string(l.id));
  flush_link(l);
}

void App::drop(Link& l) {
  if (l.dead) return;
  if (l.state != LinkState::closing && l.state != LinkState::lingering) {
    g_events.emit("closed " + std::to_string(l.id));
  }
  l.dead = true;
  g_events.flush();
  l.fd.reset();
}

template <typename F>
bool App::for_target(std::string_view target, bool open_only, F f) {
  // "all" means every link (open_only: every authenticated link).
  if (target == "all") {
    for (auto& [id, l] : links_) {
      if (!l->dead && (!open_only || l->state == LinkState::open)) f(*l);
    }
    return true;
  }
  int id = 0;
  if (!parse_number(target, id)) return false;
  // A single link gets the bytes in any state, even before its authentication reply.
  const auto it = links_.find(id);
  if (it == links_.end() || it->second->dead) return false;
  f(*it->second);
  return true;
}

void App::command(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const auto sp1 = line.find(' ');
  const std::string_view verb = line.substr(0, sp1);
  std::string_view rest = sp1 == std::string_view::npos ? std::string_view() : line.substr(sp1 + 1);
  const auto sp2 = rest.find(' ');
  const std::string_view target = rest.substr(0, sp2);
  const std::string_view arg = sp2 == std::string_view::npos ? std::string_view() : rest.substr(sp2 + 1);
  bool ok = true;
  if (verb == "send" || verb == "sendraw") {
    std::optional<std::string> bytes;
    if (verb == "send") {
      bytes = std::string(arg) + "\n";
    } else {
      bytes = karvo::testkit::hex_decode(arg);
    }
    ok = bytes && for_target(target, true, [&](Link& l) {
           queue(l, *bytes);
           flush_link(l);
           g_events.emit("sent " + std::to_string(l.id) + " " + std::to_string(bytes->size()));
         });
  } else if (verb == "close") {
    ok = for_target(target, false, [&](Link& l) { start_close(l); });
  } else if (verb == "publish") {
    ok = publish();
  } else if (verb == "unpublish") {
    if (published_) {
      unpublish();
    }
  } else if (verb == "quit") {
    quit_ = true;
  } else if (verb.empty()) {
  } else {
    ok = false;
  }
  if (!ok) g_events.emit("error cannot do: " + std::string(line));
}

void App::read_commands() {
  char buf[65536];
  ssize_t n = -1;
  do {
    n = ::read(STDIN_FILENO, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    // End of input does not end the application: a launched instance has the null device there.
    stdin_open_ = false;
    return;
  }
  stdin_buf_.append(buf, static_cast<std::size_t>(n));
  std::size_t start = 0;
  for (auto nl = stdin_buf_.find('\n'); nl != std::string::npos; nl = stdin_buf_.find('\n', start)) {
    command(std::string_view(stdin_buf_).substr(start, nl - start));
    start = nl + 1;
  }
  stdin_buf_.erase(0, start);
}

std::optional<Clock::time_point> App::next_deadline() const {
  std::optional<Clock::time_point> next = home_check_at_;
  auto consider = [&](const std::optional<Clock::time_point>& t) {
    if (t && (!next || *t < *next)) next = t;
  };
  consider(publish_at_);
  consider(exit_at_);
  consider(unsolicited_at_);
  for (const auto& [id, l] : links_) {
    if ((l->state == LinkState::auth_pending && !opt_.auth_never) || l->state == LinkState::lingering) {
      consider(l->due);
    }
  }
  return next;
}

void App::run_timers() {
  const auto now = Clock::now();
  if (publish_at_ && now >= *publish_at_) {
    publish_at_.reset();
    publish();
  }
  if (exit_at_ && now >= *exit_at_) quit_ = true;
  if (now >= home_check_at_) {
    home_check_at_ = now + kHomeCheck;
    struct stat st {};
    if (::stat(opt_.home.c_str(), &st) != 0) {
      // The home was a scratch directory that is gone: nobody can reach this instance any more.
      g_events.emit("error home directory is gone");
      quit_ = true;
    }
  }
  if (unsolicited_at_ && now >= *unsolicited_at_) {
    unsolicited_at_ = now + std::chrono::milliseconds(opt_.unsolicited_every_ms);
    for (auto& [id, l] : links_) {
      if (!l->dead && l->state == LinkState::open) {
        queue(*l, *opt_.unsolicited + "\n");
        flush_link(*l);
      }
    }
  }
  for (auto& [id, l] : links_) {
    if (l->dead) continue;
    if (l->state == LinkState::auth_pending && !opt_.auth_never && now >= l->due) {
      finish_auth(*l);
      process_lines(*l);  // lines that arrived while the reply was held back
      flush_link(*l);
    } else if (l->state == LinkState::lingering && now >= l->due) {
      l->dead = true;
      l->fd.reset();
    }
  }
}

int App::run() {
  token_ = opt_.token ? *opt_.token : random_token();
  auto sig = karvo::testkit::make_pipe();
  if (!sig) return 1;
  signal_read_ = std::move(sig->read_end);
  signal_write_ = std::move(sig->write_end);
  karvo::testkit::set_nonblocking(signal_read_.get(), true);
  karvo::testkit::set_nonblocking(signal_write_.get(), true);
  g_signal_pipe_write = signal_write_.get();
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (const int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  if (!listen_socket()) {
    std::fprintf(stderr, "karvo-standin-app: cannot listen on 127.0.0.1:%u: %s\n", unsigned{opt_.port},
                 std::strerror(errno));
    return 1;
  }
  g_events.emit("listening " + std::to_string(port_));
  if (!opt_.pid_file.empty()) {
    OwnedFd fd(::open(opt_.pid_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd) karvo::testkit::write_fully(fd.get(), std::to_string(::getpid()) + "\n");
  }
  const auto start = Clock::now();
  if (opt_.publish_delay_ms > 0) {
    publish_at_ = start + std::chrono::milliseconds(opt_.publish_delay_ms);
  } else if (!publish()) {
    g_events.flush();
    return 1;
  }
  if (opt_.exit_after) {
    exit_at_ = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*opt_.exit_after));
  }
  if (opt_.unsolicited && opt_.unsolicited_every_ms > 0) {
    unsolicited_at_ = start + std::chrono::milliseconds(opt_.unsolicited_every_ms);
  }
  home_check_at_ = start + kHomeCheck;

  std::vector<pollfd> fds;
  std::vector<Link*> polled;
  while (!quit_) {
    g_events.flush();
    fds.clear();
    polled.clear();
    fds.push_back({signal_read_.get(), POLLIN, 0});
    fds.push_back({listen_fd_.get(), POLLIN, 0});
    fds.push_back({stdin_open_ ? STDIN_FILENO : -1, POLLIN, 0});
    for (auto& [id, l] : links_) {
      short events = 0;
      const bool reading = l->state != LinkState::closing && l->queued() < kOutputHighWater;
      if (reading) events |= POLLIN;
      if (l->queued() > 0) events |= POLLOUT;
      fds.push_back({l->fd.get(), events, 0});
      polled.push_back(l.get());
    }
    int timeout = -1;
    if (const auto next = next_deadline()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
    }
    const int rc = ::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout);
    if (rc < 0 && errno != EINTR) {
      std::fprintf(stderr, "karvo-standin-app: poll: %s\n", std::strerror(errno));
      break;
    }
    if (rc > 0) {
      if (fds[0].revents != 0) {
        char drain[64];
        while (::read(signal_read_.get(), drain, sizeof drain) > 0) {
        }
        quit_ = true;
      }
      if (fds[1].revents != 0) accept_links();
      if (fds[2].revents != 0) read_commands();
      for (std::size_t i = 0; i < polled.size(); ++i) {
        Link& l = *polled[i];
        const short re = fds[i + 3].revents;
        if (l.dead || re == 0) continue;
        if ((re & POLLOUT) != 0) flush_link(l);
        if ((re & (POLLIN | POLLHUP | POLLERR)) != 0 && !l.dead) read_link(l);
        if (!l.dead) flush_link(l);
      }
    }
    run_timers();
    std::erase_if(links_, [](const auto& entry) { return entry.second->dead; });
  }
  for (auto& [id, l] : links_) drop(*l);
  links_.clear();
  unpublish();
  if (!opt_.pid_file.empty()) ::unlink(opt_.pid_file.c_str());
  g_events.emit("exiting");
  g_events.flush();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  if (const char* extra = std::getenv("KARVO_STANDIN_ARGS"); extra != nullptr && *extra != '\0') {
    std::string_view rest(extra);
    while (!rest.empty()) {
      const auto nl = rest.find('\n');
      if (const auto item = rest.substr(0, nl); !item.empty()) args.emplace_back(item);
      if (nl == std::string_view::npos) break;
      rest.remove_prefix(nl + 1);
    }
  }
  std::string all_args = "args";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage.data(), stdout);
      return 0;
    }
    args.push_back(a);
    all_args += " " + a;
  }
  Options opt;
  if (const char* home = std::getenv("HOME")) opt.home = home;
  // Options of the environment come first, so the command line wins.
  if (auto error = parse_options(args, opt)) {
    std::fprintf(stderr, "karvo-standin-app: %s\n%s", error->c_str(), kUsage.data());
    return 2;
  }
  g_events.open_file(opt.events_path);
  g_events.emit(all_args);
  g_events.flush();
  App app(std::move(opt));
  return app.run();
}
