#include "serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace karvo::safari {
namespace {

TEST(SerialQueue, RunsItemsOneAtATimeInOrderOffTheCallersThread) {
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> onCaller{false};
  const auto caller = std::this_thread::get_id();
  std::promise<void> done;
  {
    SerialQueue queue("test");
    for (int i = 0; i < 50; ++i) {
      queue.async([&, i] {
        if (running.fetch_add(1) != 0) overlapped = true;
        if (std::this_thread::get_id() == caller) onCaller = true;
        order.push_back(i);
        running.fetch_sub(1);
        if (i == 49) done.set_value();
      });
    }
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(onCaller);
  ASSERT_EQ(order.size(), 50U);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(SerialQueue, LetsQueuedItemsFinishWhenDestroyed) {
  std::atomic<int> ran{0};
  {
    SerialQueue queue("test");
    for (int i = 0; i < 10; ++i) queue.async([&] { ++ran; });
  }
  EXPECT_EQ(ran.load(), 10);
}

TEST(SerialQueue, MayBeDestroyedByItsOwnItem) {
  struct Owner {
    SerialQueue queue{"owned"};
  };
  auto owner = std::make_shared<Owner>();
  std::promise<void> done;
  owner->queue.async([keep = owner, &done]() mutable {
    keep.reset();  // the last reference: destroys the queue from its own worker
    done.set_value();
  });
  owner.reset();
  EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
}  // namespace karvo::safari
