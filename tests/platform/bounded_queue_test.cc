// The hand-off between two threads: order, back-pressure, and how a close, a failure and a
// cancel reach the other side, waiting or not.
#include "platform/threads/bounded_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "thread_testing.h"

namespace kolvo {
namespace {

using std::chrono::milliseconds;
using testing_support::TimedThread;

// How long a thread that should be waiting is watched for not having ended. A thread that ends
// within it when it should have waited is a fault, so the check cannot fail by luck, only miss
// a fault on a very slow machine.
constexpr milliseconds kStillWaiting{100};
// How soon a waiting thread must notice what should wake it.
constexpr milliseconds kPrompt{2000};

std::exception_ptr failure_named(const std::string& what) {
  return std::make_exception_ptr(std::runtime_error(what));
}

const std::exception_ptr kFailure = failure_named("the producer failed");
const std::exception_ptr kReason = failure_named("the consumer gave up");
const std::exception_ptr kOtherReason = failure_named("given up again");

template <typename T>
void expect_pop_throws(BoundedQueue<T>& queue, const std::exception_ptr& expected) {
  testing_support::expect_throws_exactly([&] { queue.pop(); }, expected);
}

enum class Ending { close, fail, cancel, cancel_again };

template <typename T>
void end(BoundedQueue<T>& queue, Ending how) {
  switch (how) {
    case Ending::close:
      return queue.close();
    case Ending::fail:
      return queue.fail(kFailure);
    case Ending::cancel:
      return queue.cancel(kReason);
    case Ending::cancel_again:
      return queue.cancel(kOtherReason);
  }
}

// Both sides at full speed, the spent items travelling back for reuse as the hand-offs use
// them: for ThreadSanitizer as much as for the order.
TEST(BoundedQueueTest, ItemsComeOutInTheOrderTheyWentIn) {
  for (const std::size_t capacity : {1, 2, 8}) {
    for (const std::size_t count :
         {std::size_t{0}, std::size_t{1}, capacity, 3 * capacity + 1, std::size_t{20000}}) {
      SCOPED_TRACE("capacity " + std::to_string(capacity) + ", " + std::to_string(count) +
                   " items");
      BoundedQueue<std::string> queue(capacity);
      TimedThread producer([&] {
        for (std::size_t i = 0; i < count; ++i) {
          std::string item = queue.take_spare().value_or(std::string());
          item = "item " + std::to_string(i);
          queue.push(std::move(item));
        }
        queue.close();
      });
      std::size_t received = 0;
      testing_support::run_within_hang_limit([&] {
        while (std::optional<std::string> item = queue.pop()) {
          if (*item != "item " + std::to_string(received)) break;
          ++received;
          queue.recycle(std::move(*item));
        }
      });
      EXPECT_EQ(received, count) << "item " << received << " came out wrong";
      if (received < count) {
        // The producer may be waiting for room that will never come.
        queue.cancel(failure_named("stopped"));
        try {
          producer.join();
        } catch (const std::runtime_error&) {
        }
        continue;
      }
      producer.join();
      EXPECT_EQ(queue.pop(), std::nullopt) << "the end is not said twice";
    }
  }
}

// Neither try_push() nor try_pop() ever waits; each says what it could not do, and both learn
// of a failure or a cancel as pop() does.
TEST(BoundedQueueTest, TryPushAndTryPopTakeWhatIsThereWithoutWaiting) {
  BoundedQueue<std::string> queue(2);
  EXPECT_EQ(queue.try_pop(), std::nullopt);
  std::string item = "first";
  EXPECT_TRUE(queue.try_push(item));
  queue.push("second");
  item = "third";
  EXPECT_FALSE(queue.try_push(item));
  EXPECT_EQ(item, "third") << "a refused item is left as it was";
  EXPECT_EQ(queue.try_pop(), "first");
  EXPECT_TRUE(queue.try_push(item));
  EXPECT_EQ(queue.try_pop(), "second");
  queue.fail(kFailure);
  EXPECT_EQ(queue.try_pop(), "third");
  testing_support::expect_throws_exactly([&] { queue.try_pop(); }, kFailure);

  BoundedQueue<std::string> cancelled(2);
  cancelled.push("dropped");
  cancelled.cancel(kReason);
  testing_support::expect_throws_exactly([&] { cancelled.try_pop(); }, kReason);
  testing_support::expect_throws_exactly([&] { cancelled.try_push(item); }, kReason);
}

TEST(BoundedQueueTest, AProducerFailureReachesTheConsumerAfterTheQueuedItems) {
  BoundedQueue<std::string> queue(4);
  queue.push("a");
  queue.push("b");
  queue.fail(kFailure);
  EXPECT_EQ(queue.pop(), "a");
  EXPECT_EQ(queue.pop(), "b");
  expect_pop_throws(queue, kFailure);
  expect_pop_throws(queue, kFailure);
}

// A producer waiting for room in a full queue, or a consumer waiting on an empty one, really
// waits, and wakes promptly for whatever ends its wait, learning what it was.
TEST(BoundedQueueTest, AWaitingSideWakesForWhatEndsItsWait) {
  enum class Waiter { producer, consumer };
  struct Case {
    const char* name;
    Waiter waiter;
    std::optional<Ending> ending;  // none: an item is taken
    const char* outcome;           // what the waiter saw
  };
  const std::vector<Case> cases = {
      {"a taken item makes room", Waiter::producer, std::nullopt, "pushed"},
      {"a cancel stops a producer", Waiter::producer, Ending::cancel, "reason"},
      {"a close ends the items", Waiter::consumer, Ending::close, "nothing"},
      {"a failure ends the items", Waiter::consumer, Ending::fail, "failure"},
      {"a cancel stops a consumer", Waiter::consumer, Ending::cancel, "reason"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoundedQueue<std::string> queue(1);
    if (c.waiter == Waiter::producer) queue.push("queued");
    std::string outcome;
    TimedThread waiter([&] {
      try {
        if (c.waiter == Waiter::producer) {
          queue.push("waiting");
          outcome = "pushed";
        } else {
          outcome = queue.pop().value_or("nothing");
        }
      } catch (...) {
        const std::exception_ptr thrown = std::current_exception();
        outcome = thrown == kFailure ? "failure" : thrown == kReason ? "reason" : "other";
      }
    });
    EXPECT_FALSE(waiter.ended_within(kStillWaiting)) << "it did not wait";
    if (c.ending) {
      end(queue, *c.ending);
    } else {
      EXPECT_EQ(queue.pop(), "queued");
    }
    EXPECT_TRUE(waiter.ended_within(kPrompt)) << "it still waits";
    waiter.join();
    EXPECT_EQ(outcome, c.outcome);
    if (!c.ending) {
      EXPECT_EQ(queue.pop(), "waiting");
    } else if (*c.ending == Ending::cancel) {
      // From then on nothing can be queued, and what was queued is never delivered.
      std::string more = "more";
      EXPECT_THROW(queue.try_push(more), std::runtime_error);
      EXPECT_THROW(queue.push("more"), std::runtime_error);
      expect_pop_throws(queue, kReason);
    }
  }
}

// Whatever order the two sides end in, the first cancel wins over everything, and otherwise the
// producer's first word is its last.
TEST(BoundedQueueTest, EndingTwiceKeepsTheFirstEndingAndACancelOverrulesTheProducer) {
  struct Case {
    const char* name;
    Ending first;
    Ending then;
    Ending seen;  // close: pop() returns the item, then nothing; otherwise what it throws
  };
  const std::vector<Case> cases = {
      {"close then fail", Ending::close, Ending::fail, Ending::close},
      {"fail then close", Ending::fail, Ending::close, Ending::fail},
      {"close then cancel", Ending::close, Ending::cancel, Ending::cancel},
      {"fail then cancel", Ending::fail, Ending::cancel, Ending::cancel},
      {"cancel then fail", Ending::cancel, Ending::fail, Ending::cancel},
      {"cancel then close", Ending::cancel, Ending::close, Ending::cancel},
      {"two cancels", Ending::cancel, Ending::cancel_again, Ending::cancel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoundedQueue<int> queue(2);
    queue.push(7);
    end(queue, c.first);
    end(queue, c.then);
    EXPECT_EQ(queue.cancelled(), c.seen == Ending::cancel);
    if (c.seen == Ending::cancel) {
      expect_pop_throws(queue, kReason);
      continue;
    }
    EXPECT_EQ(queue.pop(), 7);
    if (c.seen == Ending::fail) {
      expect_pop_throws(queue, kFailure);
    } else {
      EXPECT_EQ(queue.pop(), std::nullopt);
    }
  }
}

TEST(BoundedQueueTest, SpentItemsComeBackAsTheyWereUpToWhatCanBeInUse) {
  constexpr std::size_t kCapacity = 3;
  BoundedQueue<std::string> queue(kCapacity);
  EXPECT_EQ(queue.take_spare(), std::nullopt);

  std::string block;
  block.reserve(1 << 16);
  block = "spent";
  const char* storage = block.data();
  queue.recycle(std::move(block));
  std::optional<std::string> spare = queue.take_spare();
  ASSERT_TRUE(spare.has_value());
  EXPECT_EQ(*spare, "spent");
  EXPECT_EQ(spare->data(), storage) << "the buffer was not the one recycled";
  EXPECT_EQ(queue.take_spare(), std::nullopt);

  // The queued items, the one being filled and the one being consumed: capacity + 2.
  for (std::size_t i = 0; i < kCapacity + 3; ++i) queue.recycle(std::to_string(i));
  for (std::size_t i = kCapacity + 2; i-- > 0;) EXPECT_EQ(queue.take_spare(), std::to_string(i));
  EXPECT_EQ(queue.take_spare(), std::nullopt);
}

}  // namespace
}  // namespace kolvo
