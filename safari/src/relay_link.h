// A relay's side of the application link: a loopback TCP connection carrying one JSON value per line,
// opened by authentication. Used only from its relay's serial queue; it takes no lock.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ipc_info.h"
#include "json_value.h"
#include "unique_fd.h"

namespace karvo::safari {

class RelayLink {
 public:
  // A test on one received object; a read ends early at the first object for which it holds.
  using Until = std::function<bool(const Json&)>;

  static constexpr std::size_t kReceiveBufferSize = 65536;
  // The longest unfinished line that is kept (64 MiB, far beyond any real message): a longer one
  // is skipped up to its line feed, like a line that is not an object, so an application that never ends
  // a line cannot make the relay's memory grow without bound.
  static constexpr std::size_t kMaxLineBytes = std::size_t{64} << 20;

  bool linked() const noexcept { return static_cast<bool>(fd_); }
  int fd() const noexcept { return fd_.get(); }
  const std::string& pending() const noexcept { return pending_; }

  // Connects to 127.0.0.1 at info.port() and authenticates with info.token(). True when the new link is
  // open and the application accepted the token; on false the link is dropped.
  bool open(const IpcInfo& info);

  // Takes `socket`, a connected stream socket, as the link, with nothing pending.
  void adopt(UniqueFd socket);

  // Sends `object` as one line of compact JSON text. False when unlinked, when the object cannot be
  // written as JSON text (the link stays), or when sending failed (the link is dropped).
  bool write(const Json& object);

  // Appends the application's objects to `into`, for up to `timeout` seconds or until `until` (when set)
  // holds for one of them. Lines that are not JSON objects, or longer than kMaxLineBytes, are skipped.
  // Complete lines already received
  // are delivered first, even when the time is already up. False only when the link failed (and is
  // dropped) or when the relay is unlinked once the buffered lines are used up.
  bool read(const Until& until, double timeout, std::vector<Json>& into);

  // Closes the socket, if any, and forgets the pending bytes.
  void drop();

 private:
  // Adds received bytes to pending_, which holds no line feed when this is called; drops the
  // unfinished line once it has grown past kMaxLineBytes, and the rest of it as it comes.
  void keep(std::string_view received);

  UniqueFd fd_;
  std::string pending_;    // received bytes not yet ended by a line feed
  bool skipping_ = false;  // the unfinished line grew too long: bytes up to its line feed are dropped
};

}  // namespace karvo::safari
