#include "registry/record_builder.h"

#include <algorithm>
#include <cassert>
#include <exception>
#include <iterator>
#include <utility>

#include "platform/threads/thread_name.h"
#include "registry/registry.h"

namespace kolvo {

RecordBuilder::RecordBuilder(RowConverter convert)
    : convert_(std::move(convert)), worker_([this] { run(); }) {}

RecordBuilder::RecordBuilder() : RecordBuilder(to_record) {}

RecordBuilder::~RecordBuilder() {
  if (!worker_.joinable()) return;
  to_convert_.close();
  // The other thread may be waiting to hand a batch back: take what it sends until it ends.
  try {
    while (converted_.pop()) {
    }
  } catch (...) {
  }
  worker_.join();
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
    to_convert_.close();
    // Every batch that went out comes back, then the end; or the other thread's failure does.
    while (std::optional<Batch> batch = converted_.pop()) place(std::move(*batch));
    worker_.join();
    take_converted();
  } catch (...) {
    give_up();
    throw;
  }
  return std::move(list_);
}

void RecordBuilder::convert(Batch& batch) const {
  batch.records.reserve(batch.used);
  for (std::size_t i = 0; i < batch.used; ++i) batch.records.push_back(convert_(batch.rows[i]));
}

void RecordBuilder::hand_over() {
  if (filling_.used == 0) return;
  if (to_convert_.try_push(filling_)) {
    placed_.emplace_back();  // filled when the batch comes back
  } else {
    // The other thread is behind: converting here beats waiting for it.
    convert(filling_);
    placed_.emplace_back(std::move(filling_));
  }
  take_converted();
  // The batch was moved from: one that came back has buffers to reuse.
  if (spares_.empty()) {
    filling_ = Batch();
  } else {
    filling_ = std::move(spares_.back());
    spares_.pop_back();
  }
}

// Puts the batches that came back in their places, then moves the records of the converted
// batches at the front into the list. Run at each hand-over, so the other thread never waits
// long to hand a batch back.
void RecordBuilder::take_converted() {
  while (std::optional<Batch> batch = converted_.try_pop()) place(std::move(*batch));
  while (!placed_.empty() && placed_.front()) {
    Batch& batch = *placed_.front();
    list_.insert(list_.end(), std::make_move_iterator(batch.records.begin()),
                 std::make_move_iterator(batch.records.end()));
    batch.reset();
    spares_.push_back(std::move(batch));
    placed_.pop_front();
  }
}

// Batches come back in the order they went out, so each takes the first place still empty.
void RecordBuilder::place(Batch&& batch) {
  const auto empty = std::find(placed_.begin(), placed_.end(), std::nullopt);
  assert(empty != placed_.end());
  *empty = std::move(batch);
}

// A builder that has thrown once has nothing more to give: the other thread stops at once, and
// every later hand-over throws the same. The batch being filled may have lost its rows to the
// queue, so it starts again empty.
void RecordBuilder::give_up() noexcept {
  to_convert_.cancel(std::current_exception());
  converted_.cancel(std::current_exception());
  filling_.reset();
}

// Nothing may leave a thread's function: a throw there ends the process. Whatever fails here
// (memory running out as much as a conversion) reaches the parser by both queues: its next
// hand-over finds the queue to this thread cancelled, and the batches converted before the
// failure come back, then the failure.
void RecordBuilder::run() noexcept {
  name_this_thread("rl-records");
  try {
    while (std::optional<Batch> batch = to_convert_.pop()) {
      convert(*batch);
      converted_.push(std::move(*batch));
    }
    converted_.close();
  } catch (...) {
    to_convert_.cancel(std::current_exception());
    converted_.fail(std::current_exception());
  }
}

}  // namespace kolvo
