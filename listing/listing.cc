#include "listing/listing.h"

#include <iostream>

#include "listing/quote.h"
#include "platform/text/text.h"

namespace kolvo {
namespace {

// The serial number stays wide until here; it is written as UTF-8 through the same narrow
// stream as everything else, so the output keeps program order.
void write_wide(std::ostream& out, std::u16string_view wide) { out << to_narrow(wide); }

}  // namespace

void write_plain_listing(const RegistryRecordList& list, std::ostream& out) {
  for (const RegistryRecord& record : list) {
    write_wide(out, record.serial_number);
    for (const auto& [key, value] : record.properties) out << ", " << value;
    out << '\n' << std::flush;
  }
}

void write_json_listing(const RegistryRecordList& list, std::ostream& out) {
  out << "[\n";
  for (std::size_t i = 0; i < list.size(); ++i) {
    const RegistryRecord& record = list[i];
    out << '{' << quote("serialnumber") << ':';
    write_wide(out, quote(record.serial_number));
    out << ',' << quote("properties") << ":{";
    std::size_t written = 0;
    for (const auto& [key, value] : record.properties) {
      out << quote(key) << ':' << quote(value);
      if (++written != record.properties.size()) out << ',';
    }
    out << "}}";
    if (i != list.size() - 1) out << ',';
    out << '\n' << std::flush;
  }
  out << ']';
}

void write_plain_listing(const RegistryRecordList& list) { write_plain_listing(list, std::cout); }

void write_json_listing(const RegistryRecordList& list) { write_json_listing(list, std::cout); }

}  // namespace kolvo
