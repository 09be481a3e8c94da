// Turns the rows of the list feed into records on a second thread while the parser reads on.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "platform/feeds/feed.h"  // FeedEntry: the rows
#include "platform/threads/bounded_queue.h"
#include "registry/registry_record.h"

namespace kolvo {

// Makes records of rows on a thread of its own ("rl-records"), so that converting overlaps
// parsing. Rows go to it in batches; each batch comes back with its records and is reused,
// strings and all, so a copy costs no allocation. The parser never waits for that thread: when
// kMaxQueued batches wait already, it converts the batch itself. Either way each batch keeps its
// place in row order, and the parser's thread alone moves records into the list, so the list is
// never shared.
//
// Failures travel both ways. Any throw on the builder's thread (a conversion, or memory running
// out anywhere there) ends it: the parser's next hand-over of a batch (every kBatchRows rows, in
// add()) throws it, and finish() throws it in any case. Any throw from add() or finish() (a
// conversion made on the parser's thread, or that thread's memory running out) stops the
// builder's thread at once, and every later hand-over, and finish(), throws the same. A parser
// that fails for its own reasons just destroys the builder, which ends its thread and drops every
// record made.
class RecordBuilder {
 public:
  using RowConverter = std::function<RegistryRecord(const FeedEntry& row)>;

  static constexpr std::size_t kBatchRows = 256;
  static constexpr std::size_t kMaxQueued = 2;

  // Starts the thread. Rows become records by convert: to_record, unless a test says otherwise.
  // Throws std::system_error when no thread can be started, and std::bad_alloc.
  explicit RecordBuilder(RowConverter convert);
  RecordBuilder();
  // Ends the thread, dropping whatever it has made: the way out after the parser failed.
  ~RecordBuilder();
  RecordBuilder(const RecordBuilder&) = delete;
  RecordBuilder& operator=(const RecordBuilder&) = delete;

  // Takes a copy of the row's cells. Every kBatchRows rows it hands a batch over, and then
  // throws what has failed on the builder's thread, or what the conversion throws when it makes
  // the records itself.
  void add(const FeedEntry& row);

  // Every record, in the order the rows were added, once all are made; call it once. Throws the
  // first failure on either thread.
  RegistryRecordList finish();

 private:
  // Only the cells are copied: they are all a record is made of.
  struct Batch {
    std::vector<FeedEntry> rows;  // the first `used` are this batch's; the rest are spares
    std::size_t used = 0;
    RegistryRecordList records;  // made from rows, by either thread

    // Empty again, keeping every buffer.
    void reset() noexcept {
      used = 0;
      records.clear();
    }
  };

  void convert(Batch& batch) const;
  void hand_over();
  void take_converted();
  void place(Batch&& batch);
  void give_up() noexcept;
  void run() noexcept;

  RowConverter convert_;
  // The parser's thread's alone.
  Batch filling_;
  std::vector<Batch> spares_;
  // One per batch not yet in the list, in row order: converted, or still on the other thread.
  std::deque<std::optional<Batch>> placed_;
  RegistryRecordList list_;
  // The hand-off, both ways. Converted batches come back in the order they went out.
  BoundedQueue<Batch> to_convert_{kMaxQueued};
  // Room for all that can come back between two hand-overs, so the other thread seldom waits.
  BoundedQueue<Batch> converted_{kMaxQueued + 2};
  std::thread worker_;  // last: started once everything it uses is ready
};

}  // namespace kolvo
