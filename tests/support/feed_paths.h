// The request paths of one run against the fake service, per wire format, so tests can say
// how far a run got without spelling each format's addresses.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace testing_support {

enum class Format { gdata, sheets_v4 };

// The four requests of a run, in order.
enum class Stage { token, spreadsheets, worksheets, list };

// Paths for the spreadsheet "inv" whose first worksheet is "Registry".
inline std::string path_of(Format format, Stage stage) {
  const bool gdata = format == Format::gdata;
  switch (stage) {
    case Stage::token:
      return "/token";
    case Stage::spreadsheets:
      return gdata ? "/feeds/spreadsheets/private/full" : "/drive/v3/files";
    case Stage::worksheets:
      return gdata ? "/feeds/worksheets/inv/private/full" : "/v4/spreadsheets/inv";
    case Stage::list:
      return gdata ? "/feeds/list/inv/od6/private/full"
                   : "/v4/spreadsheets/inv/values/%27Registry%27";
  }
  return {};
}

// The paths a run requests when it stops after the given stage.
inline std::vector<std::string> paths_up_to(Format format, Stage last) {
  std::vector<std::string> paths;
  for (Stage stage : {Stage::token, Stage::spreadsheets, Stage::worksheets, Stage::list}) {
    paths.push_back(path_of(format, stage));
    if (stage == last) break;
  }
  return paths;
}

inline std::string format_name(Format format) {
  return format == Format::gdata ? "Gdata" : "SheetsV4";
}

inline void PrintTo(Format format, std::ostream* os) { *os << format_name(format); }

}  // namespace testing_support
