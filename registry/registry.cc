#include "registry/registry.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/auth/auth.h"
#include "platform/certificate/certificate.h"
#include "platform/feeds/spreadsheets_service.h"
#include "platform/failure/failure.h"
#include "platform/text/text.h"
#include "platform/threads/thread_name.h"

namespace kolvo {
namespace {

const FeedEntry* find_by_title(const Feed& feed, std::string_view title) {
  for (const FeedEntry& entry : feed.entries) {
    if (!entry.title) throw Failure("an entry has no title");
    if (*entry.title == title) return &entry;
  }
  return nullptr;
}

HttpOptions http_options(const RegistryClientConfig& config) {
  HttpOptions http;
  http.ca_bundle = config.ca_bundle;
  http.connect_timeout_seconds = config.connect_timeout_seconds;
  http.stall_timeout_seconds = config.stall_timeout_seconds;
  http.request_timeout_seconds = config.request_timeout_seconds;
  http.max_body_bytes = config.max_body_bytes;
  return http;
}

// Makes records of rows on a second thread while the parser reads on, and on the parser's
// own thread too whenever the other one has fallen behind. Rows travel in batches of entries
// that are reused, strings and all, so a copy costs no allocation. Each batch carries the
// chunk its records go to, taken in row order, so whichever thread converts it the order
// holds. The second thread also moves finished chunks into the list as they complete, in
// order, so that little is left to do once the last row is in.
class RecordBuilder {
 public:
  explicit RecordBuilder(RegistryRecordList& list) : list_(list), worker_([this] { run(); }) {}
  ~RecordBuilder() { stop(); }
  RecordBuilder(const RecordBuilder&) = delete;
  RecordBuilder& operator=(const RecordBuilder&) = delete;

  void add(const FeedEntry& row) {
    if (filling_.used == filling_.rows.size()) filling_.rows.emplace_back();
    FeedEntry& copy = filling_.rows[filling_.used++];
    copy.elements.resize(row.elements.size());
    for (std::size_t i = 0; i < row.elements.size(); ++i) {
      copy.elements[i].local_name = row.elements[i].local_name;
      copy.elements[i].value = row.elements[i].value;
    }
    if (filling_.used == kBatchRows) submit();
  }

  // Waits for every record and fills the list; rethrows what went wrong on either thread.
  void finish() {
    submit();
    stop();  // the other thread converts all that is queued before it ends
    if (failure_) std::rethrow_exception(failure_);
    collect();  // what the other thread had not yet moved into the list
  }

 private:
  static constexpr std::size_t kBatchRows = 256;
  static constexpr std::size_t kMaxQueued = 2;

  struct Chunk {
    RegistryRecordList records;
    bool done = false;  // converted, and ready to join the list
  };

  // Only the elements are copied: they are all a record is made of.
  struct Batch {
    std::vector<FeedEntry> rows;
    std::size_t used = 0;
    Chunk* chunk = nullptr;  // where its records go
  };

  // Queues the filled batch for the other thread or, when it is behind, converts it here.
  void submit() {
    if (filling_.used == 0) return;
    std::unique_lock lock(mutex_);
    // Once either thread has failed, the rest of the answer is not worth reading.
    if (failure_) std::rethrow_exception(failure_);
    // A deque: adding or taking a chunk at either end leaves the others where they are.
    filling_.chunk = &chunks_.emplace_back();
    if (queue_.size() < kMaxQueued) {
      queue_.push_back(std::move(filling_));
      if (!spares_.empty()) {
        filling_ = std::move(spares_.back());
        spares_.pop_back();
      } else {
        filling_ = Batch();
      }
      changed_.notify_all();
    } else {
      lock.unlock();
      convert(filling_);
    }
    filling_.used = 0;
  }

  void convert(const Batch& batch) {
    std::exception_ptr failure;
    try {
      batch.chunk->records.reserve(batch.used);
      for (std::size_t i = 0; i < batch.used; ++i) {
        batch.chunk->records.push_back(to_record(batch.rows[i]));
      }
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    if (failure && !failure_) failure_ = failure;
    batch.chunk->done = true;
  }

  void fail(std::exception_ptr failure) noexcept {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::move(failure);
  }

  // Moves the converted chunks at the front, in row order, into the list. Only one thread
  // at a time touches the list: the other thread while it runs, then finish().
  void collect() {
    std::vector<RegistryRecordList> ready;
    {
      std::lock_guard lock(mutex_);
      while (!chunks_.empty() && chunks_.front().done) {
        ready.push_back(std::move(chunks_.front().records));
        chunks_.pop_front();
      }
    }
    for (RegistryRecordList& records : ready) {
      list_.insert(list_.end(), std::make_move_iterator(records.begin()),
                   std::make_move_iterator(records.end()));
    }
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    if (worker_.joinable()) worker_.join();
  }

  // Nothing may leave a thread's function: a throw there ends the process. Whatever fails here
  // (memory running out in collect() or for a spare, as much as in a conversion) is kept for
  // finish() and the parser's next submit(), and this thread stops taking batches.
  void run() noexcept {
    name_this_thread("rl-records");
    try {
      std::unique_lock lock(mutex_);
      for (;;) {
        changed_.wait(lock, [this] { return !queue_.empty() || stopping_ || failure_; });
        if (queue_.empty() || failure_) return;
        Batch batch = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        convert(batch);
        collect();
        lock.lock();
        batch.used = 0;
        spares_.push_back(std::move(batch));
      }
    } catch (...) {
      fail(std::current_exception());
    }
  }

  RegistryRecordList& list_;
  Batch filling_;  // the parser's side
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> chunks_;   // one per batch not yet in the list, in row order
  std::deque<Batch> queue_;    // filled batches the other thread has not taken
  std::vector<Batch> spares_;  // converted batches, for reuse
  bool stopping_ = false;
  std::exception_ptr failure_;  // the first failure on either thread
  std::thread worker_;          // last: started once everything it uses is ready
};

}  // namespace

const FeedEntry* find_spread_sheet(const Feed& feed, std::string_view spread_sheet_name) {
  try {
    return find_by_title(feed, spread_sheet_name);
  } catch (const Failure& failure) {
    throw Failure(std::string("spreadsheet search: ") + failure.what());
  }
}

const FeedEntry* find_work_sheet(const Feed& ws_feed, std::string_view work_sheet_name) {
  try {
    return find_by_title(ws_feed, work_sheet_name);
  } catch (const Failure& failure) {
    throw Failure(std::string("worksheet search: ") + failure.what());
  }
}

RegistryRecord to_record(const FeedEntry& row) {
  RegistryRecord record;
  // Reused from row to row: a registry has hundreds of thousands of rows and the same few
  // columns in each.
  thread_local std::vector<PropertyMap::value_type> entries;
  thread_local std::vector<std::string> repaired;
  entries.clear();
  repaired.clear();
  repaired.reserve(2 * row.elements.size());  // views into it must stay put
  // Text that is well formed already, as nearly all is, goes in as it stands, with no copy made
  // to check it.
  auto narrow = [](const std::string& text) -> std::string_view {
    if (is_well_formed_utf8(text)) return text;
    return repaired.emplace_back(to_narrow(std::string_view(text)));
  };
  for (const ListElement& element : row.elements) {
    if (element.local_name == kSerialNumberColumn) {
      record.serial_number = to_wide(element.value);
    } else {
      entries.emplace_back(narrow(element.local_name), narrow(element.value));
    }
  }
  record.properties.assign(entries);
  return record;
}

RegistryRecordList retrieve_registry(const RegistryClientConfig& config) {
  // One client for every request, so requests to one host share one connection.
  HttpClient http(http_options(config));
  // The service of the wire format this build speaks. It sends nothing before it is queried,
  // but the credential needs to know the scopes its queries need.
  const std::unique_ptr<SpreadsheetsService> service = make_spreadsheets_service(
      config.feed_format,
      ServiceEndpoints{config.spreadsheets_feed_uri, config.drive_files_uri, config.sheets_uri},
      config.spreadsheet_id, http);
  if (config.spreadsheet_title.empty() && config.spreadsheet_id.empty()) {
    throw Failure("configuration: no spreadsheet title and no spreadsheet ID");
  }

  ServiceAccountKey key =
      load_service_account_key(config.certificate_file, config.certificate_password);

  // A JSON key names its account, so the build need not; the credential refuses a key of
  // another account, or for another token endpoint, before anything is sent.
  std::string account =
      config.service_account.empty() ? key.client_email.value_or("") : config.service_account;
  ServiceAccountCredentialInitializer initializer(std::move(account), config.token_uri, http);
  initializer.scopes = service->scopes();
  initializer.from_key(std::move(key));
  ServiceAccountCredential credential(std::move(initializer));

  credential.request_access_token();
  if (!credential.token()) throw Failure("token request: no token was issued");

  GDataRequestFactory request_factory;
  request_factory.add_custom_header(kAuthorizationHeaderPrefix + credential.token()->access_token);
  service->set_request_factory(std::move(request_factory));

  return read_registry(*service, config.spreadsheet_title);
}

RegistryRecordList read_registry(SpreadsheetsService& service,
                                 const std::string& spreadsheet_title) {
  const Feed spreadsheets = service.query(SpreadsheetQuery{spreadsheet_title});
  // A service that reads one spreadsheet by its ID answers with that one alone, and a build
  // that names it so may leave the title empty: then any title will do.
  const FeedEntry* spreadsheet =
      spreadsheet_title.empty() && spreadsheets.entries.size() == 1
          ? &spreadsheets.entries.front()
          : find_spread_sheet(spreadsheets, spreadsheet_title);
  if (spreadsheet == nullptr) {
    throw Failure("spreadsheet search: no spreadsheet is titled \"" + spreadsheet_title + "\"");
  }

  const Feed worksheets = service.query_worksheets(*spreadsheet);
  const FeedEntry* worksheet = find_work_sheet(worksheets, kWorksheetTitle);
  if (worksheet == nullptr) {
    throw Failure(std::string("worksheet search: the spreadsheet has no worksheet \"") +
                  kWorksheetTitle + "\"");
  }

  const FeedLink* list_link = worksheet->find_link(kListFeedRel);
  if (list_link == nullptr) throw Failure("list query: the worksheet has no list feed link");
  // Each row becomes a record as it is read, so the rows are never all held twice. Should the
  // feed fail part way, the exception discards the records made so far with the list.
  RegistryRecordList list;
  {
    RecordBuilder builder(list);
    service.query(ListQuery(list_link->href), [&](const FeedEntry& row) { builder.add(row); });
    builder.finish();
  }
  return list;
}

}  // namespace kolvo
