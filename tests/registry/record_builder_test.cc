// Rows becoming records on two threads: whole and in row order whichever thread converts a
// batch, and every failure on either thread ending the run with exactly that failure.
#include "registry/record_builder.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "registry/registry.h"
#include "thread_testing.h"

namespace kolvo {
namespace {

using testing_support::run_within_hang_limit;

constexpr std::size_t kBatch = RecordBuilder::kBatchRows;

// Row i: its serial number, then from none to three more cells, so that a reused row that kept
// a cell of a longer row before it shows in the records.
FeedEntry numbered_row(std::size_t i) {
  FeedEntry row;
  row.elements.push_back({"serialnumber", "SN-" + std::to_string(i)});
  for (std::size_t cell = 0; cell < (i * 7) % 4; ++cell) {
    row.elements.push_back({"cell" + std::to_string(cell), std::to_string(i)});
  }
  return row;
}

RegistryRecordList expected_records(std::size_t rows) {
  RegistryRecordList records;
  for (std::size_t i = 0; i < rows; ++i) records.push_back(to_record(numbered_row(i)));
  return records;
}

// Where to_record puts the serial number, read back as the row's number.
std::size_t row_number(const FeedEntry& row) {
  return std::stoul(row.elements.front().value.substr(3));
}

std::string this_thread_name() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// A converter that tells which thread converted each row, and can throw a prepared failure at
// one row or hold the builder's thread at its first row until the test lets it go.
class Probe {
 public:
  explicit Probe(std::thread::id parser) : parser_(parser) {}

  std::size_t failing_row = SIZE_MAX;
  std::exception_ptr failure = std::make_exception_ptr(std::runtime_error("row refused"));
  // Throw only on this thread: the parser's (true) or the builder's (false).
  bool fail_on_parser = false;
  // Hold the builder's thread at its first row until release().
  bool hold_builder = false;

  RecordBuilder::RowConverter converter() {
    return [this](const FeedEntry& row) { return convert(row); };
  }
  // Resolves when the builder's thread has reached its first row.
  std::shared_future<void> builder_reached() const { return reached_future_; }
  void release() {
    if (!released_.exchange(true)) release_.set_value();
  }

  std::atomic<std::size_t> on_parser{0};
  std::atomic<std::size_t> on_builder{0};
  std::atomic<bool> builder_named_right{true};

 private:
  RegistryRecord convert(const FeedEntry& row) {
    const bool parser = std::this_thread::get_id() == parser_;
    if (parser) {
      ++on_parser;
      release();  // the parser converting is what a held builder waited for
    } else {
      if (on_builder++ == 0) {
        if (this_thread_name() != "rl-records") builder_named_right = false;
        reached_.set_value();
        if (hold_builder && release_future_.wait_for(testing_support::kHangLimit / 2) !=
                                std::future_status::ready) {
          throw std::runtime_error("the builder's thread was never released");
        }
      }
    }
    if (row_number(row) == failing_row && parser == fail_on_parser) {
      std::rethrow_exception(failure);
    }
    return to_record(row);
  }

  std::thread::id parser_;
  std::promise<void> reached_;
  std::shared_future<void> reached_future_ = reached_.get_future().share();
  std::promise<void> release_;
  std::shared_future<void> release_future_ = release_.get_future().share();
  std::atomic<bool> released_{false};
};

void add_rows(RecordBuilder& builder, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) builder.add(numbered_row(i));
}

// A builder that failed has no list to give, only the failure: exactly that exception object.
void expect_finish_throws(RecordBuilder& builder, const std::exception_ptr& failure) {
  testing_support::expect_throws_exactly([&] { builder.finish(); }, failure);
}

TEST(RecordBuilderTest, RecordsComeOutWholeAndInRowOrderAcrossBatches) {
  for (const std::size_t rows :
       {std::size_t{0}, std::size_t{1}, kBatch - 1, kBatch, kBatch + 1, 40 * kBatch + 7}) {
    SCOPED_TRACE(std::to_string(rows) + " rows");
    run_within_hang_limit([&] {
      RecordBuilder builder;
      add_rows(builder, 0, rows);
      const RegistryRecordList records = builder.finish();
      ASSERT_EQ(records.size(), rows);
      EXPECT_TRUE(records == expected_records(rows));
    });
  }
  // The expectation is to_record's; one record spelt out keeps both honest.
  EXPECT_EQ(expected_records(6)[5],
            (RegistryRecord{u"SN-5", {{"cell0", "5"}, {"cell1", "5"}, {"cell2", "5"}}}));
}

// The builder's thread is held at its first row, so the queue fills and the parser has to
// convert batches itself; the records still come out in row order.
TEST(RecordBuilderTest, RecordsKeepRowOrderWhenTheParserConvertsBatchesItself) {
  constexpr std::size_t kRows = 12 * kBatch + 5;
  run_within_hang_limit([&] {
    Probe probe(std::this_thread::get_id());
    probe.hold_builder = true;
    RecordBuilder builder(probe.converter());
    add_rows(builder, 0, kRows);
    const RegistryRecordList records = builder.finish();
    EXPECT_TRUE(records == expected_records(kRows));
    EXPECT_GE(probe.on_parser.load(), kBatch);
    EXPECT_GE(probe.on_builder.load(), kBatch);
    EXPECT_EQ(probe.on_parser + probe.on_builder, kRows);
    EXPECT_TRUE(probe.builder_named_right) << "the fault-injection build looks for rl-records";
  });
}

TEST(RecordBuilderTest, AFailureOnTheBuildersThreadReachesFinish) {
  struct Case {
    const char* name;
    std::size_t rows;
    std::size_t failing_row;
    std::exception_ptr failure;
  };
  const std::vector<Case> cases = {
      {"in a full batch", kBatch + 44, 5, std::make_exception_ptr(std::runtime_error("bad row"))},
      {"in the last batch", kBatch + 44, kBatch + 43,
       std::make_exception_ptr(std::runtime_error("bad last row"))},
      {"memory running out", 3, 1, std::make_exception_ptr(std::bad_alloc())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run_within_hang_limit([&] {
      Probe probe(std::this_thread::get_id());
      probe.failing_row = c.failing_row;
      probe.failure = c.failure;
      RecordBuilder builder(probe.converter());
      // The one hand-over in add() may already meet the failure, if the thread is that quick;
      // then it throws exactly that, and so does finish().
      try {
        add_rows(builder, 0, c.rows);
      } catch (...) {
        EXPECT_EQ(std::current_exception(), c.failure);
      }
      expect_finish_throws(builder, c.failure);
      EXPECT_EQ(probe.on_parser, 0u) << "the case meant the builder's thread to convert";
    });
  }
}

// Whether a thread of this process has this name.
bool thread_named(const std::string& name) {
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm == name) return true;
  }
  return false;
}

// The builder's thread fails at its first row and ends; the parser's very next hand-over throws
// that failure, and no add() before it does. The hand-over that gave the thread its row may be
// that next one already: it takes back what is converted, and the thread can be that quick.
TEST(RecordBuilderTest, AFailureOnTheBuildersThreadStopsTheParserAtItsNextHandOver) {
  run_within_hang_limit([&] {
    Probe probe(std::this_thread::get_id());
    probe.failing_row = 0;
    RecordBuilder builder(probe.converter());
    add_rows(builder, 0, kBatch - 1);
    bool thrown_at_once = false;
    try {
      builder.add(numbered_row(kBatch - 1));
    } catch (...) {
      EXPECT_EQ(std::current_exception(), probe.failure);
      thrown_at_once = true;
    }
    if (!thrown_at_once) {
      ASSERT_EQ(probe.builder_reached().wait_for(testing_support::kHangLimit / 4),
                std::future_status::ready);
      const auto deadline = std::chrono::steady_clock::now() + testing_support::kHangLimit / 4;
      while (thread_named("rl-records") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_FALSE(thread_named("rl-records")) << "the failed thread did not end";
      add_rows(builder, kBatch, 2 * kBatch - 1);
      testing_support::expect_throws_exactly([&] { builder.add(numbered_row(2 * kBatch - 1)); },
                                             probe.failure);
    }
    expect_finish_throws(builder, probe.failure);
  });
}

// The builder's thread is held at its first row while the queue fills behind it, so the parser
// converts the next batch itself, in add() or in finish(), and fails there.
TEST(RecordBuilderTest, AFailureOnTheParsersThreadEndsTheCallThatConvertedAndFinish) {
  struct Case {
    const char* name;
    std::size_t last_rows;  // after the batch held and the two queued
    bool throws_in_add;
  };
  for (const Case c : {Case{"in add", kBatch, true}, Case{"in finish", 10, false}}) {
    SCOPED_TRACE(c.name);
    run_within_hang_limit([&] {
      Probe probe(std::this_thread::get_id());
      probe.hold_builder = true;
      probe.fail_on_parser = true;
      probe.failing_row = 3 * kBatch + 2;
      RecordBuilder builder(probe.converter());
      add_rows(builder, 0, kBatch);
      ASSERT_EQ(probe.builder_reached().wait_for(testing_support::kHangLimit / 2),
                std::future_status::ready);
      add_rows(builder, kBatch, 3 * kBatch);  // fills the queue
      try {
        add_rows(builder, 3 * kBatch, 3 * kBatch + c.last_rows);
        EXPECT_FALSE(c.throws_in_add) << "add() did not convert the batch";
      } catch (...) {
        EXPECT_TRUE(c.throws_in_add);
        EXPECT_EQ(std::current_exception(), probe.failure);
      }
      // Once thrown, finish() has only the failure to give.
      expect_finish_throws(builder, probe.failure);
    });
  }
}

// The parser failed for its own reasons and the builder goes without finish(), whatever its
// thread is doing: idle, busy with queued batches, failed, or just let go with the queue full.
TEST(RecordBuilderTest, DestroyingTheBuilderWithoutFinishEndsCleanly) {
  struct Case {
    const char* name;
    std::size_t rows;
    bool builder_fails;
    bool hold_builder;
  };
  const std::vector<Case> cases = {
      {"no rows", 0, false, false},
      {"part of a batch", kBatch / 2, false, false},
      {"many batches", 30 * kBatch + 1, false, false},
      {"after the builder's thread failed", kBatch, true, false},
      {"with the queue full", 3 * kBatch, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run_within_hang_limit([&] {
      Probe probe(std::this_thread::get_id());
      probe.hold_builder = c.hold_builder;
      if (c.builder_fails) probe.failing_row = 0;
      {
        RecordBuilder builder(probe.converter());
        const std::size_t first = std::min(c.rows, kBatch);
        try {
          add_rows(builder, 0, first);
        } catch (...) {
          // Only the failure the builder's thread was made to meet, at the hand-over.
          ASSERT_TRUE(c.builder_fails);
          EXPECT_EQ(std::current_exception(), probe.failure);
          return;
        }
        if (c.hold_builder) {
          ASSERT_EQ(probe.builder_reached().wait_for(testing_support::kHangLimit / 2),
                    std::future_status::ready);
        }
        add_rows(builder, first, c.rows);
        probe.release();
      }
      EXPECT_LE(probe.on_parser + probe.on_builder, c.rows);
    });
  }
}

}  // namespace
}  // namespace kolvo
