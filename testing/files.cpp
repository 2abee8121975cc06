// Programs, files, scratch homes and small waiting helpers.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "testkit.h"

extern char** environ;

#ifndef KARVO_BIN_DIR
#error "karvo_testkit needs KARVO_BIN_DIR, the folder of the built programs"
#endif

namespace karvo::testkit {

std::string bin(std::string_view name) {
  const char* dir = std::getenv("KARVO_BIN_DIR");
  std::string path = dir != nullptr && *dir != '\0' ? dir : KARVO_BIN_DIR;
  path += '/';
  path += name;
  return path;
}

std::vector<std::string> current_env() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  return env;
}

bool write_file(const std::string& path, std::string_view content, mode_t mode) {
  const std::string dir = parent_dir(path);
  if (!dir.empty() && !make_dirs(dir)) return false;
  OwnedFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  return fd && write_fully(fd.get(), content);
}

bool plant_unusable_endpoint(const std::string& path, UnusableEndpoint kind, const std::string& valid) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  switch (kind) {
    case UnusableEndpoint::fifo: return ::mkfifo(path.c_str(), 0600) == 0;
    case UnusableEndpoint::device: return ::symlink("/dev/zero", path.c_str()) == 0;
    case UnusableEndpoint::padded: {
      const std::size_t size = std::max<std::size_t>(64 * 1024 + 1, valid.size());
      return write_file(path, valid + std::string(size - valid.size(), ' '), 0600);
    }
    case UnusableEndpoint::sparse:
      return write_file(path, valid, 0600) && ::truncate(path.c_str(), off_t{1} << 40) == 0;
  }
  return false;
}

std::optional<mode_t> file_mode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st.st_mode & 07777;
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool install_program(const std::string& from, const std::string& to) {
  const auto content = read_file(from);
  if (!content) return false;
  ::unlink(to.c_str());  // a running copy keeps its own file
  return write_file(to, *content, 0755) && ::chmod(to.c_str(), 0755) == 0;
}

std::uint16_t unused_port() {
  OwnedFd fd = tcp_socket();
  if (!fd) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return 0;
  }
  // Picked by the system among the free ports and released at once: connections to it are refused
  // until somebody else happens to bind it, which is unlikely within a test's lifetime.
  return ntohs(addr.sin_port);
}

bool wait_until(const std::function<bool()>& predicate, Ms timeout, Ms interval) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
}

std::string standin_args_env(const std::vector<std::string>& args) {
  std::string entry = "KARVO_STANDIN_ARGS=";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) entry += '\n';
    entry += args[i];
  }
  return entry;
}

// --- scratch home -------------------------------------------------------------------------------

namespace {

void remove_tree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);  // a test may have taken the permissions away
    if (DIR* d = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(d);
      for (const auto& name : names) remove_tree(path + "/" + name);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

}  // namespace

ScratchHome::ScratchHome() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = (tmp != nullptr && *tmp != '\0' ? std::string(tmp) : std::string("/tmp")) + "/karvo-home-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    std::fprintf(stderr, "karvo testkit: cannot make a scratch home %s: %s\n", templ.c_str(), std::strerror(errno));
    std::abort();
  }
  path_ = templ;
}

ScratchHome::~ScratchHome() { remove_tree(path_); }

std::string ScratchHome::data_dir(std::string_view app_id) const {
  return path_ + "/Library/Application Support/" + std::string(app_id);
}

std::string ScratchHome::ipc_path(std::string_view app_id) const { return data_dir(app_id) + "/ipc.json"; }

bool ScratchHome::write_ipc(std::string_view content, std::string_view app_id) const {
  return write_file(ipc_path(app_id), content, 0600);
}

std::vector<std::string> ScratchHome::env(const std::vector<std::string>& extra) const {
  std::vector<std::string> env;
  auto name_of = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  auto overridden = [&](std::string_view entry) {
    const auto name = name_of(entry);
    if (name == "HOME") return true;
    for (const auto& e : extra) {
      if (name_of(e) == name) return true;
    }
    return false;
  };
  for (const auto& e : current_env()) {
    if (!overridden(e)) env.push_back(e);
  }
  const bool own_home =
      std::none_of(extra.begin(), extra.end(), [&](const std::string& e) { return name_of(e) == "HOME"; });
  if (own_home) env.push_back("HOME=" + path_);
  for (const auto& e : extra) env.push_back(e);
  return env;
}

}  // namespace karvo::testkit
