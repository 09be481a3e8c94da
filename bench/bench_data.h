// The registry the benchmarks run on: rows of realistic text (non-ASCII names and places,
// markup characters, quotes, commas, cells of very different lengths), the same for a given
// seed on every machine, so figures from different runs describe the same work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

inline constexpr std::uint64_t kDefaultSeed = 20240501;

// The header row: "Serial Number", "Name", "Location", "Owner", "Department", "Purchased",
// "Price", "Notes".
std::vector<std::string> registry_header();

// rows data rows under registry_header(). No row is blank (a blank row would end the table);
// some are ragged (trailing cells missing) and some have empty cells in the middle.
std::vector<std::vector<std::string>> registry_rows(std::size_t rows,
                                                    std::uint64_t seed = kDefaultSeed);

// Titles of the spreadsheets listed before the registry's own, realistic neighbours in a
// service account's Drive, near-misses of "Inventory" among them.
std::vector<std::string> other_spreadsheet_titles();

}  // namespace bench
