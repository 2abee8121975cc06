#include "serial_queue.h"

#include <utility>

namespace karvo::safari {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  try {
    state_ = std::make_shared<State>();
    worker_ = std::thread([state = state_] { run(state); });
  } catch (...) {
    state_.reset();  // no worker: every item runs on its caller's thread
  }
}

SerialQueue::~SerialQueue() {
  if (!state_) return;
  {
    const std::lock_guard guard(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_one();
  if (!worker_.joinable()) return;
  if (worker_.get_id() == std::this_thread::get_id()) {
    worker_.detach();  // the worker holds the state and ends after the item that is destroying us
  } else {
    worker_.join();
  }
}

void SerialQueue::async(std::function<void()> work) {
  if (state_) {
    try {
      {
        const std::lock_guard guard(state_->mutex);
        state_->items.push_back(std::move(work));
      }
      state_->wake.notify_one();
      return;
    } catch (...) {
      // fall through: run it here
    }
  }
  if (work) work();
}

void SerialQueue::run(const std::shared_ptr<State>& state) {
  for (;;) {
    std::function<void()> item;
    {
      std::unique_lock lock(state->mutex);
      state->wake.wait(lock, [&] { return state->stopping || !state->items.empty(); });
      if (state->items.empty()) return;  // stopping, and nothing left
      item = std::move(state->items.front());
      state->items.pop_front();
    }
    if (item) item();
  }
}

}  // namespace karvo::safari
