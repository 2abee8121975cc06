#include "package_config.h"

#include "files.h"

namespace karvo::reg {

bool kept_by_package(std::string_view root, std::string_view path) {
  // `path` is under_root(root, <path on the system>).
  while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  if (!root.empty()) {
    if (!path.starts_with(root)) return false;
    path.remove_prefix(root == "/" ? 0 : root.size());
  }
  if (!path.starts_with('/')) return false;
  return exists_no_follow(under_root(root, "/var/lib/karvo-host/installed" + std::string(path)));
}

}  // namespace karvo::reg
