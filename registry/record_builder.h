// Turns the rows of the list feed into records on a second thread while the parser reads on.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

#include "platform/feeds/feeds.h"  // FeedEntry: the rows
#include "platform/threads/bounded_queue.h"
#include "registry/registry_record.h"

namespace kolvo {

// Makes records of rows on a thread of its own ("rl-records"), so that converting overlaps
// parsing. Rows travel to it in batches that are reused, strings and all, so a copy costs no
// allocation. When that thread has fallen behind and the queue is full, the parser converts the
// batch itself and queues it converted, so the records still join the list in row order and
// neither thread idles.
//
// The record list belongs to the builder's thread, which appends to it as batches arrive, until
// finish() has joined that thread; only then is it handed out, and only when nothing failed.
// Failures travel both ways. Any throw on the builder's thread (a conversion, or memory running
// out anywhere there) cancels the queue: the parser's next hand-over of a batch, in add() or
// finish(), throws it, and finish() throws it in any case. Any throw from add() or finish() (a
// conversion made on the parser's thread, or that thread's memory running out) cancels the queue
// too: the builder's thread stops at once, and every later hand-over, and finish(), throws the
// same. A parser that fails for its own reasons just destroys the builder, which ends its thread
// and drops every record made.
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
    RegistryRecordList records;  // made on the parser's thread, when `converted`
    bool converted = false;

    // Empty again, keeping every buffer.
    void reset() noexcept {
      used = 0;
      records.clear();
      converted = false;
    }
  };

  void hand_over();
  void give_up() noexcept;
  void run() noexcept;

  RowConverter convert_;
  Batch filling_;  // the parser's side
  BoundedQueue<Batch> queue_{kMaxQueued};
  RegistryRecordList list_;     // the builder's thread's, until joined
  std::exception_ptr failure_;  // what ended the builder's thread, read once it is joined
  std::thread worker_;          // last: started once everything it uses is ready
};

}  // namespace kolvo
