// Microbenchmarks of the program's CPU-bound steps, on the registry the whole-run measurement
// serves (bench_data.h), 10 000 rows:
//   - an Atom list feed parsed in the pieces the transport hands over, every entry made a record;
//   - a Sheets v4 values answer parsed, every row made a record;
//   - each of those parses alone, and the records alone;
//   - both listings written into a stream that discards everything;
//   - the text conversions, one call per cell as the program makes them.
// The bodies are rendered by the fake service itself, so the parsers see byte for byte what the
// timed runs receive.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "bench_data.h"
#include "fake_service.h"
#include "listing/listing.h"
#include "platform/feeds/gdata/gdata.h"
#include "platform/feeds/sheets_v4/sheets_v4.h"
#include "platform/text/text.h"
#include "registry/registry.h"

namespace {

constexpr std::size_t kRows = 10'000;
// What one libcurl write callback hands the program at most (CURL_MAX_WRITE_SIZE).
constexpr std::size_t kChunk = 16 * 1024;
const std::string kBase = "https://127.0.0.1:18543";

struct Data {
  std::vector<std::string> header = bench::registry_header();
  std::vector<std::vector<std::string>> rows = bench::registry_rows(kRows);
  std::string atom;
  std::string values;
  kolvo::Feed entries;        // the list feed, parsed
  kolvo::RegistryRecordList records;
  std::vector<std::string> cells;
  std::vector<std::u16string> wide_cells;
  std::size_t cell_bytes = 0;
};

const Data& data() {
  static const Data d = [] {
    Data d;
    fake::Spreadsheet spreadsheet{"Inventory", "inv1", {{"Registry", d.header, d.rows}}};
    d.atom = fake::list_feed(spreadsheet, 0, kBase);
    d.values = fake::values_answer(spreadsheet.worksheets[0]);
    d.entries = kolvo::gdata::parse_atom_feed(d.atom);
    for (const kolvo::FeedEntry& entry : d.entries.entries) {
      d.records.push_back(kolvo::to_record(entry));
    }
    for (const auto& row : d.rows) {
      for (const auto& cell : row) {
        d.cells.push_back(cell);
        d.wide_cells.push_back(kolvo::to_wide(cell));
        d.cell_bytes += cell.size();
      }
    }
    return d;
  }();
  return d;
}

class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Each row goes to the sink as it is read, as in a run: into a record, or (to tell the two
// costs apart) only counted.
void parse_atom(const std::string& body, const kolvo::EntrySink& sink) {
  kolvo::gdata::AtomFeedParser parser(sink);
  for (std::size_t at = 0; at < body.size(); at += kChunk) {
    parser.parse(std::string_view(body).substr(at, kChunk));
  }
  parser.finish();
}

// As the service reads it: in the pieces it arrives in, the rows parsed a batch at a time.
void parse_values(const std::string& body, const kolvo::EntrySink& sink) {
  kolvo::sheets_v4::ValuesStream stream(sink);
  for (std::size_t at = 0; at < body.size(); at += kChunk) {
    stream.append(std::string_view(body).substr(at, kChunk));
  }
  stream.finish();
}

template <typename Parse>
void time_parse(benchmark::State& state, const std::string& body, std::size_t body_bytes,
                Parse parse, bool records) {
  for (auto _ : state) {
    kolvo::RegistryRecordList list;
    std::size_t rows = 0;
    if (records) {
      parse(body, [&list](const kolvo::FeedEntry& row) { list.push_back(kolvo::to_record(row)); });
      rows = list.size();
    } else {
      parse(body, [&rows](const kolvo::FeedEntry& row) {
        benchmark::DoNotOptimize(row.elements.data());
        ++rows;
      });
    }
    benchmark::DoNotOptimize(list.data());
    if (rows != kRows) state.SkipWithError("wrong number of rows");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body_bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
  state.counters["body_MB"] = static_cast<double>(body_bytes) / 1e6;
}

void BM_AtomListFeedToRecords(benchmark::State& state) {
  time_parse(state, data().atom, data().atom.size(), parse_atom, true);
}
BENCHMARK(BM_AtomListFeedToRecords)->Unit(benchmark::kMillisecond);

void BM_SheetsValuesToRecords(benchmark::State& state) {
  time_parse(state, data().values, data().values.size(), parse_values, true);
}
BENCHMARK(BM_SheetsValuesToRecords)->Unit(benchmark::kMillisecond);

void BM_AtomListFeedParse(benchmark::State& state) {
  time_parse(state, data().atom, data().atom.size(), parse_atom, false);
}
BENCHMARK(BM_AtomListFeedParse)->Unit(benchmark::kMillisecond);

void BM_SheetsValuesParse(benchmark::State& state) {
  time_parse(state, data().values, data().values.size(), parse_values, false);
}
BENCHMARK(BM_SheetsValuesParse)->Unit(benchmark::kMillisecond);

void BM_ToRecord(benchmark::State& state) {
  const Data& d = data();
  for (auto _ : state) {
    kolvo::RegistryRecordList list;
    list.reserve(d.entries.entries.size());
    for (const kolvo::FeedEntry& entry : d.entries.entries) list.push_back(kolvo::to_record(entry));
    benchmark::DoNotOptimize(list.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRows));
}
BENCHMARK(BM_ToRecord)->Unit(benchmark::kMillisecond);

void BM_WritePlainListing(benchmark::State& state) {
  const Data& d = data();
  NullBuffer buffer;
  std::ostream out(&buffer);
  for (auto _ : state) kolvo::write_plain_listing(d.records, out);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * d.records.size()));
}
BENCHMARK(BM_WritePlainListing)->Unit(benchmark::kMillisecond);

void BM_WriteJsonListing(benchmark::State& state) {
  const Data& d = data();
  NullBuffer buffer;
  std::ostream out(&buffer);
  for (auto _ : state) kolvo::write_json_listing(d.records, out);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * d.records.size()));
}
BENCHMARK(BM_WriteJsonListing)->Unit(benchmark::kMillisecond);

// One call per cell, as the program makes them; counted in UTF-8 bytes, so the conversions
// compare on one scale.
template <typename Cells, typename Convert>
void time_per_cell(benchmark::State& state, const Cells& cells, Convert convert) {
  for (auto _ : state) {
    for (const auto& cell : cells) benchmark::DoNotOptimize(convert(cell));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data().cell_bytes));
}

void BM_ToWide(benchmark::State& state) {
  time_per_cell(state, data().cells, [](const std::string& cell) { return kolvo::to_wide(cell); });
}
BENCHMARK(BM_ToWide)->Unit(benchmark::kMillisecond);

void BM_ToNarrowUtf16(benchmark::State& state) {
  time_per_cell(state, data().wide_cells, [](const std::u16string& cell) {
    return kolvo::to_narrow(std::u16string_view(cell));
  });
}
BENCHMARK(BM_ToNarrowUtf16)->Unit(benchmark::kMillisecond);

void BM_ToNarrowUtf8(benchmark::State& state) {
  time_per_cell(state, data().cells,
                [](const std::string& cell) { return kolvo::to_narrow(std::string_view(cell)); });
}
BENCHMARK(BM_ToNarrowUtf8)->Unit(benchmark::kMillisecond);

// The check that lets well-formed cells go into a record without a copy.
void BM_IsWellFormedUtf8(benchmark::State& state) {
  time_per_cell(state, data().cells,
                [](const std::string& cell) { return kolvo::is_well_formed_utf8(cell); });
}
BENCHMARK(BM_IsWellFormedUtf8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
