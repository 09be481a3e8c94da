// The two output forms of a registry: the plain listing and the JSON listing.
#pragma once

#include <iosfwd>

#include "registry/registry_record.h"

namespace kolvo {

// One line per record: the serial number, then ", " and each property value in key order.
// Each line is flushed as it is written. Writes nothing for an empty list.
void write_plain_listing(const RegistryRecordList& list, std::ostream& out);
void write_plain_listing(const RegistryRecordList& list);

// "[\n", one JSON object per record and line (flushed), then "]" without a newline or flush.
void write_json_listing(const RegistryRecordList& list, std::ostream& out);
void write_json_listing(const RegistryRecordList& list);

}  // namespace kolvo
