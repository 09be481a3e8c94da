// registry-list: prints the equipment registry kept in a spreadsheet.
//
// With no arguments it prints one line per row and then "[ OK ]", or only "[Fail]" when the
// registry cannot be fetched; the status is 0 either way. With any argument it prints the
// registry as JSON, and exits 1 (after an empty "[\n]") when the registry cannot be fetched,
// so scripts cannot mistake a failure for an empty registry. Output that cannot be written
// also exits 1.
#include <cstdio>
#include <iostream>

#include "listing/listing.h"
#include "registry/registry.h"

namespace {

enum class RunMode { listing, json };

// True when everything written so far has reached standard output.
bool flush_output() {
  std::cout.flush();
  const bool flushed = std::fflush(stdout) == 0;
  return flushed && !std::ferror(stdout) && !std::cout.fail();
}

}  // namespace

int main(int argc, char**) {
  const RunMode mode = argc > 1 ? RunMode::json : RunMode::listing;
  kolvo::RegistryRecordList list;
  bool retrieved = false;
  try {
    list = kolvo::retrieve_registry();
    retrieved = true;
    if (mode == RunMode::listing) {
      kolvo::write_plain_listing(list);
      std::printf("[ OK ]\n");
    }
  } catch (...) {
    // Deliberately no detail: the status line is the whole report.
    if (mode == RunMode::listing) std::printf("[Fail]\n");
  }
  if (mode == RunMode::json) kolvo::write_json_listing(list);
  const bool written = flush_output();
  if (!written) return 1;
  return mode == RunMode::json && !retrieved ? 1 : 0;
}
