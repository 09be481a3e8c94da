// The two output forms of a registry: the plain listing and the JSON listing.
#pragma once

#include <iosfwd>

#include "registry/registry_record.h"

namespace kolvo {

// How the plain listing treats control characters in the cells.
enum class Controls {
  as_they_stand,  // byte for byte, for whatever reads the output
  shown_as_marks,  // each C0 control, DEL and C1 control (U+0080 to U+009F) becomes "?"
};

// One line per record: the serial number, then ", " and each property value in key order.
// Each line is flushed as it is written. Writes nothing for an empty list. For a terminal,
// controls are shown as marks, so that a cell cannot clear the screen, retitle the window or
// forge a status line of its own.
void write_plain_listing(const RegistryRecordList& list, std::ostream& out,
                         Controls controls = Controls::as_they_stand);
void write_plain_listing(const RegistryRecordList& list, Controls controls);

// "[\n", one JSON object per record and line (flushed), then "]" without a newline or flush.
void write_json_listing(const RegistryRecordList& list, std::ostream& out);
void write_json_listing(const RegistryRecordList& list);

}  // namespace kolvo
