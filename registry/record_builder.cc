#include "registry/record_builder.h"

#include <iterator>
#include <optional>
#include <utility>

#include "platform/threads/thread_name.h"
#include "registry/registry.h"

namespace kolvo {

RecordBuilder::RecordBuilder(RowConverter convert)
    : convert_(std::move(convert)), worker_([this] { run(); }) {}

RecordBuilder::RecordBuilder() : RecordBuilder(to_record) {}

RecordBuilder::~RecordBuilder() {
  queue_.close();
  if (worker_.joinable()) worker_.join();
}

void RecordBuilder::add(const FeedEntry& row) {
  try {
    if (filling_.used == filling_.rows.size()) filling_.rows.emplace_back();
    // Assigned, not constructed, so the strings of a reused batch keep their buffers.
    filling_.rows[filling_.used].elements = row.elements;
    ++filling_.used;
    if (filling_.used == kBatchRows) hand_over();
  } catch (...) {
    give_up();
    throw;
  }
}

RegistryRecordList RecordBuilder::finish() {
  try {
    hand_over();
  } catch (...) {
    give_up();
    throw;
  }
  queue_.close();
  if (worker_.joinable()) worker_.join();
  if (failure_) std::rethrow_exception(failure_);
  return std::move(list_);
}

// A builder that has thrown once has nothing more to give: the other thread stops at once, and
// every later hand-over throws the same. The batch being filled may have lost its rows to the
// queue, so it starts again empty.
void RecordBuilder::give_up() noexcept {
  queue_.cancel(std::current_exception());
  filling_.reset();
}

void RecordBuilder::hand_over() {
  if (filling_.used == 0) return;
  if (!queue_.try_push(filling_)) {
    // The other thread is behind: converting here beats waiting for it. The push waits only
    // while that thread finishes the batch it holds.
    filling_.records.reserve(filling_.used);
    for (std::size_t i = 0; i < filling_.used; ++i) {
      filling_.records.push_back(convert_(filling_.rows[i]));
    }
    filling_.converted = true;
    queue_.push(std::move(filling_));
  }
  filling_ = queue_.take_spare().value_or(Batch());
  filling_.reset();
}

// Nothing may leave a thread's function: a throw there ends the process. Whatever fails here
// (memory running out while the list grows, as much as a conversion) is kept for finish() and
// cancels the queue, so that the parser stops at its next hand-over.
void RecordBuilder::run() noexcept {
  name_this_thread("rl-records");
  try {
    while (std::optional<Batch> batch = queue_.pop()) {
      if (batch->converted) {
        list_.insert(list_.end(), std::make_move_iterator(batch->records.begin()),
                     std::make_move_iterator(batch->records.end()));
      } else {
        for (std::size_t i = 0; i < batch->used; ++i) list_.push_back(convert_(batch->rows[i]));
      }
      queue_.recycle(std::move(*batch));
    }
  } catch (...) {
    failure_ = std::current_exception();
    queue_.cancel(failure_);
  }
}

}  // namespace kolvo
