#include "endpoint.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "json.h"
#include "unique_fd.h"

namespace karvo {

namespace {

constexpr const char* kAppId = "com.karvo.app";

std::string home_dir() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 4096);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int rc = ::getpwuid_r(::getuid(), &entry, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc == EINTR) continue;
    if (rc == 0 && found != nullptr && found->pw_dir != nullptr) return found->pw_dir;
    return {};
  }
}

// Any real endpoint file is a few hundred bytes. A larger one is unusable: judged by its size at once, and
// again while reading, so that a file that grows meanwhile costs no more memory than this.
constexpr std::size_t kMaxEndpointFile = 64 * 1024;

// The whole content of a regular file of at most kMaxEndpointFile bytes; nothing when it cannot be
// opened or read, or is larger. Opening does not block on a FIFO left in the file's place.
std::optional<std::string> read_regular_file(const std::string& path) {
  UniqueFd fd;
  do {
    fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  } while (!fd && errno == EINTR);
  if (!fd) return std::nullopt;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > kMaxEndpointFile) return std::nullopt;
  // One byte more than the limit tells a file that grew past it.
  std::string text(kMaxEndpointFile + 1, '\0');
  std::size_t used = 0;
  while (used < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used > kMaxEndpointFile) return std::nullopt;
  text.resize(used);
  return text;
}

}  // namespace

std::string data_dir() {
  const std::string home = home_dir();
  if (home.empty()) return std::string("./") + kAppId;
  std::string dir = home;
  if (dir.back() != '/') dir.push_back('/');
  dir.append("Library/Application Support/").append(kAppId);
  return dir;
}

std::optional<IpcInfo> parse_ipc_info(std::string_view text) {
  // The JSON rules reject invalid UTF-8, a byte-order mark and anything after the value.
  const std::optional<json::Value> doc = json::parse(text);
  if (!doc || !doc->is_object()) return std::nullopt;

  // A port must be written as a plain integer. Anything outside 1..65535 makes the file unusable, so a
  // malformed file can never send the token to some other port.
  const json::Value* port = doc->find("port");
  const std::uint64_t* port_value = port ? port->get_if<std::uint64_t>() : nullptr;
  if (port_value == nullptr || *port_value < 1 || *port_value > 65535) return std::nullopt;

  const json::Value* token = doc->find("token");
  const std::string* token_value = token ? token->get_if<std::string>() : nullptr;
  if (token_value == nullptr) return std::nullopt;

  IpcInfo info;
  info.port = static_cast<std::uint16_t>(*port_value);
  info.token = *token_value;
  if (const json::Value* exe = doc->find("exe")) {
    if (const std::string* exe_value = exe->get_if<std::string>()) info.exe = *exe_value;
  }
  return info;
}

std::optional<IpcInfo> read_ipc_info() {
  try {
    const std::optional<std::string> text = read_regular_file(data_dir() + "/ipc.json");
    if (!text) return std::nullopt;
    return parse_ipc_info(*text);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace karvo
