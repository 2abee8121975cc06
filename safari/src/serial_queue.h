// A serial queue: work items run one at a time, in submission order, on one worker thread of the queue's
// own.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace karvo::safari {

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  // Lets the items already submitted run, then ends the worker (when run from the worker itself, the
  // worker ends by itself after the current item).
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Queues `work` and returns at once. Never throws: if the worker could not be started, or the item
  // cannot be queued, `work` runs on the caller's thread instead.
  void async(std::function<void()> work);

  const std::string& label() const noexcept { return label_; }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> items;
    bool stopping = false;
  };
  static void run(const std::shared_ptr<State>& state);

  std::string label_;
  std::shared_ptr<State> state_;
  std::thread worker_;
};

}  // namespace karvo::safari
