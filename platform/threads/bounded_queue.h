// A bounded first-in-first-out hand-off of items from one thread to another, through which a
// failure travels downstream and a cancel upstream.
#pragma once

#include <cassert>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace kolvo {

// Carries items from one producing thread to one consuming thread in the order they were
// pushed, holding at most `capacity` at a time: a producer that gets ahead waits for room, so
// a slow consumer holds it back instead of letting the items pile up in memory.
//
// How each side ends it:
// - close(): the producer is done. The consumer takes every queued item, then pop() returns
//   nothing.
// - fail(e): the producer has failed. The consumer takes every queued item, then pop() throws
//   e; a consumer that sees every item the producer made before failing reports failures in
//   the order a single thread would have met them.
// - cancel(e): the consumer has given up (any thread may call it). From then on push(),
//   try_push() and pop() throw e, on both sides, including a push or a pop already waiting;
//   queued items are never delivered. The first cancel wins; close() and fail() after it do
//   nothing, so a producer that was cancelled can still end as it always does.
//
// Spent items can travel back for reuse (recycle(), take_spare()), so a long run makes no
// allocation per item. The queue itself allocates only when it is made: pushing, popping and
// recycling never do.
template <typename T>
class BoundedQueue {
  static_assert(std::is_nothrow_move_constructible_v<T>);

 public:
  // capacity ≥ 1. Throws std::bad_alloc.
  explicit BoundedQueue(std::size_t capacity) : slots_(capacity), max_spares_(capacity + 2) {
    assert(capacity > 0);
    spares_.reserve(max_spares_);
  }
  BoundedQueue(const BoundedQueue&) = delete;
  BoundedQueue& operator=(const BoundedQueue&) = delete;

  // Producing side; none of these after close() or fail().

  // Queues item, first waiting while the queue is full. Throws the cancel reason, then or
  // while waiting.
  void push(T item) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return count_ < slots_.size() || cancel_reason_; });
    if (cancel_reason_) std::rethrow_exception(cancel_reason_);
    enqueue(std::move(item));
  }

  // Queues item if there is room now, moving from it; leaves it as it was and returns false
  // when the queue is full. Throws the cancel reason.
  bool try_push(T& item) {
    std::lock_guard lock(mutex_);
    if (cancel_reason_) std::rethrow_exception(cancel_reason_);
    if (count_ == slots_.size()) return false;
    enqueue(std::move(item));
    return true;
  }

  // Nothing more will come.
  void close() noexcept { end(nullptr); }

  // Whether the hand-off was cancelled: lets a producer busy making an item stop before its
  // next push.
  bool cancelled() const noexcept {
    std::lock_guard lock(mutex_);
    return cancel_reason_ != nullptr;
  }

  // Nothing more will come: the consumer gets failure once it has taken the queued items.
  // failure must not be null.
  void fail(std::exception_ptr failure) noexcept {
    assert(failure);
    end(std::move(failure));
  }

  // Consuming side.

  // The oldest item, waiting for one; nothing once the producer has closed and every item has
  // been taken. Throws the producer's failure after the last item, or the cancel reason.
  std::optional<T> pop() {
    std::unique_lock lock(mutex_);
    item_or_end_.wait(lock, [this] { return count_ > 0 || ended_ || cancel_reason_; });
    return dequeue();
  }

  // The oldest item if one is queued now; nothing when none is, whether or not more will come.
  // Throws as pop() does.
  std::optional<T> try_pop() {
    std::lock_guard lock(mutex_);
    return dequeue();
  }

  // Ends the hand-off for both sides: wakes whoever waits, and makes every push and pop throw
  // reason from now on. reason must not be null.
  void cancel(std::exception_ptr reason) noexcept {
    assert(reason);
    std::lock_guard lock(mutex_);
    if (cancel_reason_) return;
    cancel_reason_ = std::move(reason);
    room_.notify_all();
    item_or_end_.notify_all();
  }

  // Spent items, either side.

  // Keeps a spent item for take_spare(). No more are kept than can be in use at once (capacity
  // + 2: the queued ones, the one being filled and the one being consumed); beyond that it is
  // dropped.
  void recycle(T spent) noexcept {
    std::lock_guard lock(mutex_);
    if (spares_.size() < max_spares_) spares_.push_back(std::move(spent));
  }

  // The item recycled last, as it was recycled, or nothing.
  std::optional<T> take_spare() noexcept {
    std::lock_guard lock(mutex_);
    if (spares_.empty()) return std::nullopt;
    std::optional<T> spare(std::move(spares_.back()));
    spares_.pop_back();
    return spare;
  }

 private:
  void enqueue(T&& item) noexcept {
    assert(!ended_);
    slots_[(head_ + count_) % slots_.size()].emplace(std::move(item));
    ++count_;
    item_or_end_.notify_one();
  }

  std::optional<T> dequeue() {
    if (cancel_reason_) std::rethrow_exception(cancel_reason_);
    if (count_ == 0) {
      if (ended_ && failure_) std::rethrow_exception(failure_);
      return std::nullopt;
    }
    std::optional<T> item(std::move(slots_[head_]));
    slots_[head_].reset();
    head_ = (head_ + 1) % slots_.size();
    --count_;
    room_.notify_one();
    return item;
  }

  void end(std::exception_ptr failure) noexcept {
    std::lock_guard lock(mutex_);
    if (ended_ || cancel_reason_) return;
    ended_ = true;
    failure_ = std::move(failure);
    item_or_end_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable item_or_end_;  // an item was queued, or the hand-off ended
  std::condition_variable room_;         // an item was taken, or the consumer cancelled
  std::vector<std::optional<T>> slots_;  // a ring of count_ items from head_
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  bool ended_ = false;                // close() or fail()
  std::exception_ptr failure_;        // fail()'s
  std::exception_ptr cancel_reason_;  // cancel()'s
  std::vector<T> spares_;             // reserved up front, so recycling never allocates
  std::size_t max_spares_;
};

}  // namespace kolvo
