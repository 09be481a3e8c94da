// registry-list: prints the equipment registry kept in a spreadsheet.
//
// With no arguments it prints one line per row and then "[ OK ]", or only "[Fail]" when the
// registry cannot be fetched; the status is 0 either way. With any argument it prints the
// registry as JSON, and exits 1 (after an empty "[\n]") when the registry cannot be fetched,
// so scripts cannot mistake a failure for an empty registry. Output that cannot be written
// also exits 1. Standard error stays silent unless the build asks for the failure cause.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "app/build_config.h"
#include "listing/listing.h"
#include "platform/console/console.h"
#include "registry/registry.h"
#include "registry_build_config.h"

namespace {

enum class RunMode { listing, json };

// True when everything written so far has reached standard output.
bool flush_output() {
  std::cout.flush();
  const bool flushed = std::fflush(stdout) == 0;
  return flushed && !std::ferror(stdout) && !std::cout.fail();
}

// Writes "registry-list: <step>: <cause>" as one line. The messages never hold a secret;
// control characters are replaced so a hostile answer quoted in a cause cannot break the line
// or drive the terminal. Unused, and so unreferenced, in builds that keep standard error silent.
[[maybe_unused]] void report_failure_cause(const char* cause) {
  std::string line = "registry-list: ";
  for (const char* c = cause; *c != '\0'; ++c) {
    const auto u = static_cast<unsigned char>(*c);
    line += u < 0x20 || u == 0x7F ? '?' : *c;
  }
  line += '\n';
  std::fputs(line.c_str(), stderr);
}

}  // namespace

int main(int argc, char**) {
  kolvo::protect_process_memory();
  const RunMode mode = argc > 1 ? RunMode::json : RunMode::listing;
  kolvo::prepare_standard_output();
  kolvo::RegistryRecordList list;
  bool retrieved = false;
  try {
    list = kolvo::retrieve_registry(kolvo::built_in_config());
    retrieved = true;
    if (mode == RunMode::listing) {
      kolvo::write_plain_listing(list, kolvo::standard_output_is_terminal()
                                           ? kolvo::Controls::shown_as_marks
                                           : kolvo::Controls::as_they_stand);
      std::printf("[ OK ]\n");
    }
  } catch (...) {
    // The status line is the whole report on standard output.
    if (mode == RunMode::listing) std::printf("[Fail]\n");
    if constexpr (kolvo::build_config::kReportFailureCause) {
      try {
        throw;
      } catch (const std::exception& failure) {
        report_failure_cause(failure.what());
      } catch (...) {
        report_failure_cause("unexpected failure");
      }
    }
  }
  // Outside the region that turns a failure into "[Fail]", but a failure here (memory running
  // out) must still end the run as one, never abort it: the document is then incomplete.
  bool complete = true;
  if (mode == RunMode::json) {
    try {
      kolvo::write_json_listing(list);
    } catch (...) {
      complete = false;
    }
  }
  const bool written = flush_output();
  if (!written || !complete) return 1;
  return mode == RunMode::json && !retrieved ? 1 : 0;
}
