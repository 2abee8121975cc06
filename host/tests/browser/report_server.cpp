#include "report_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <list>

namespace karvo::browsertest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kIdleAnswer = std::chrono::seconds(5);  // a held GET /next is answered "idle" after this
constexpr std::string_view kIdle = R"({"op":"idle"})";

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

struct ReportServer::Conn {
  testkit::OwnedFd fd;
  std::string in;
  std::string out;
  std::size_t sent = 0;
  bool answered = false;
  std::optional<Clock::time_point> parked_until;  // a GET /next waiting for a command
  int session = 0;                                 // the newest session when it was accepted
};

ReportServer::ReportServer() {
  testkit::OwnedFd fd = testkit::tcp_socket(/*nonblocking=*/true);
  if (!fd) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd.get(), 64) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return;
  }
  std::optional<testkit::Pipe> wake = testkit::make_pipe();
  if (!wake) return;
  testkit::set_nonblocking(wake->read_end.get(), true);
  testkit::set_nonblocking(wake->write_end.get(), true);
  listener_ = std::move(fd);
  wake_read_ = std::move(wake->read_end);
  wake_write_ = std::move(wake->write_end);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { loop(); });
}

ReportServer::~ReportServer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  if (wake_write_) (void)!::write(wake_write_.get(), "x", 1);
  if (thread_.joinable()) thread_.join();
}

void ReportServer::begin_session() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++session_;
    polled_ = false;
  }
  (void)!::write(wake_write_.get(), "x", 1);  // polls of older sessions are answered at once
}

int ReportServer::next_seq() {
  std::lock_guard<std::mutex> lock(mu_);
  return ++seq_;
}

void ReportServer::push(Json command) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back(std::move(command));
  }
  (void)!::write(wake_write_.get(), "x", 1);
}

bool ReportServer::wait_polled(Ms timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return polled_; });
}

std::optional<Json> ReportServer::wait_report(const std::function<bool(const Json&)>& predicate, Ms timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  std::optional<Json> found;
  cv_.wait_for(lock, timeout, [&] {
    for (const Json& r : reports_) {
      if (predicate(r)) {
        found = r;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<Json> ReportServer::reports() {
  std::lock_guard<std::mutex> lock(mu_);
  return reports_;
}

void ReportServer::answer(Conn& c, std::string_view body) {
  c.out = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n"
          "Cache-Control: no-store\r\nConnection: close\r\nContent-Length: " +
          std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
  c.answered = true;
  c.parked_until.reset();
}

// Reads what has arrived; once the request is whole, answers it or parks it. True when the peer went.
bool ReportServer::serve(Conn& c) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
    if (n > 0) {
      c.in.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    return true;
  }
  if (c.answered || c.parked_until) return false;
  const std::size_t head_end = c.in.find("\r\n\r\n");
  if (head_end == std::string::npos) return false;
  const std::string head = lower(c.in.substr(0, head_end));
  std::size_t length = 0;
  if (const std::size_t at = head.find("\r\ncontent-length:"); at != std::string::npos) {
    length = std::strtoul(head.c_str() + at + 17, nullptr, 10);
  }
  if (c.in.size() < head_end + 4 + length) return false;
  const std::string body = c.in.substr(head_end + 4, length);

  std::lock_guard<std::mutex> lock(mu_);
  if (head.starts_with("post /report")) {
    Json report = Json::parse(body, nullptr, false);
    if (!report.is_discarded()) reports_.push_back(std::move(report));
    cv_.notify_all();
    answer(c, "{}");
  } else if (head.starts_with("get /next")) {
    if (c.session == session_) {
      polled_ = true;
      cv_.notify_all();
    }
    c.parked_until = Clock::now() + kIdleAnswer;  // answered by the loop, now or later
  } else {
    answer(c, "{}");
  }
  return false;
}

void ReportServer::loop() {
  std::list<Conn> conns;
  for (;;) {
    // Hand out commands to the newest session's waiting polls, oldest first; answer the ones that waited
    // long enough, and those of older sessions at once.
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) return;
      for (Conn& c : conns) {
        if (!c.parked_until) continue;
        if (c.session != session_) {
          answer(c, kIdle);
        } else if (!commands_.empty()) {
          answer(c, commands_.front().dump());
          commands_.pop_front();
        } else if (Clock::now() >= *c.parked_until) {
          answer(c, kIdle);
        }
      }
    }
    std::vector<pollfd> fds{{listener_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    int timeout_ms = 1000;
    for (const Conn& c : conns) {
      const bool writing = c.answered && c.sent < c.out.size();
      fds.push_back({c.fd.get(), static_cast<short>(writing ? POLLOUT : POLLIN), 0});
      if (c.parked_until) {
        const auto left = std::chrono::ceil<Ms>(*c.parked_until - Clock::now()).count();
        timeout_ms = std::clamp(static_cast<int>(left), 0, timeout_ms);
      }
    }
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) {
      char drain[64];
      while (::read(wake_read_.get(), drain, sizeof drain) > 0) {
      }
    }
    std::size_t i = 2;
    for (auto it = conns.begin(); it != conns.end(); ++i) {
      Conn& c = *it;
      bool done = false;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) done = serve(c);
      if (!done && c.answered && (fds[i].revents & POLLOUT)) {
        while (c.sent < c.out.size()) {
          const ssize_t n = ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, testkit::kSendFlags);
          if (n > 0) {
            c.sent += static_cast<std::size_t>(n);
          } else if (n < 0 && errno == EINTR) {
            continue;
          } else {
            done = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
            break;
          }
        }
        done = done || c.sent == c.out.size();
      }
      it = done ? conns.erase(it) : std::next(it);
    }
    // New connections last: the loop above walks the ones that were polled.
    if (fds[0].revents & POLLIN) {
      std::lock_guard<std::mutex> lock(mu_);
      for (;;) {
        const int fd = testkit::accept_connection(listener_.get(), /*nonblocking=*/true).release();
        if (fd < 0) break;
        Conn& c = conns.emplace_back();
        c.fd.reset(fd);
        c.session = session_;
      }
    }
  }
}

}  // namespace karvo::browsertest
