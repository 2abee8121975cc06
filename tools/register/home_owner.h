// Root registering for another user's home: the per-user work runs in a child process that has become
// that user for good, so that whatever links the user planted lead only where the user could go anyway,
// and root itself opens, makes, changes or deletes nothing in a folder that the user can write.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "browsers.h"

namespace karvo::reg {

struct HomeOwner {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;  // from the user database; "" when the id has no entry there
};

// Whose folders the per-user work of `places` touches (the home, the configuration and data homes,
// or for those not made yet the nearest folder above them that exists), when this process is root and
// they are not root's. Nothing when root may act itself. `problem` is set when they belong to
// different users, which no single user may act for.
struct HomeCheck {
  std::optional<HomeOwner> owner;
  std::optional<std::string> problem;
};
HomeCheck foreign_home_owner(const Places& places);

// Runs `work` in a child process that first sets its groups, group id and user id to the owner's and
// checks that it can never take root back. Each line that the work passes to its `say` reaches `say`
// here as it comes. The work's result; false, with a line saying why, when no child could be started or
// it could not become the owner (nothing was done then).
using SayFn = std::function<void(const std::string&)>;
bool run_as_owner(const HomeOwner& owner, const std::function<bool(const SayFn&)>& work, const SayFn& say);

}  // namespace karvo::reg
