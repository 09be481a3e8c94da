#include "listing/listing.h"

#include <iostream>

#include "listing/quote.h"
#include "platform/text/text.h"

namespace kolvo {
namespace {

// Each line is put together in one buffer and handed to the stream at once, then flushed: one
// write per line, however many pieces it has. The buffer is reused from line to line.
void write_line(std::ostream& out, std::string& line) {
  line += '\n';
  out.write(line.data(), static_cast<std::streamsize>(line.size()));
  out.flush();
  line.clear();
}

// The line with every control character as "?": C0, DEL, and C1, which UTF-8 writes as C2 80
// to C2 9F and which terminals obey as well.
void mark_controls(std::string& line, std::string& marked) {
  marked.clear();
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    const bool c1 = byte == 0xC2 && i + 1 < line.size() &&
                    (static_cast<unsigned char>(line[i + 1]) & 0xE0) == 0x80;
    if (byte < 0x20 || byte == 0x7F || c1) {
      marked += '?';
      if (c1) ++i;
    } else {
      marked += line[i];
    }
  }
  line.swap(marked);
}

}  // namespace

void write_plain_listing(const RegistryRecordList& list, std::ostream& out, Controls controls) {
  std::string line;
  std::string marked;
  for (const RegistryRecord& record : list) {
    // The serial number stays wide until here; it is written as UTF-8 through the same narrow
    // stream as everything else, so the output keeps program order.
    append_narrow(line, record.serial_number);
    for (const auto& [key, value] : record.properties) {
      line += ", ";
      line += value;
    }
    if (controls == Controls::shown_as_marks) mark_controls(line, marked);
    write_line(out, line);
  }
}

void write_json_listing(const RegistryRecordList& list, std::ostream& out) {
  out << "[\n";
  std::string line;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const RegistryRecord& record = list[i];
    line += "{\"serialnumber\":";
    append_narrow(line, quote(record.serial_number));
    line += ",\"properties\":{";
    std::size_t written = 0;
    for (const auto& [key, value] : record.properties) {
      line += quote(key);
      line += ':';
      line += quote(value);
      if (++written != record.properties.size()) line += ',';
    }
    line += "}}";
    if (i != list.size() - 1) line += ',';
    write_line(out, line);
  }
  out << ']';
}

void write_plain_listing(const RegistryRecordList& list, Controls controls) {
  write_plain_listing(list, std::cout, controls);
}

void write_json_listing(const RegistryRecordList& list) { write_json_listing(list, std::cout); }

}  // namespace kolvo
