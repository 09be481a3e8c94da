// The registry as the program holds it: one record per worksheet row, in feed order.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kolvo {

// One registry row. Records are plain values: copied into the list and destroyed with it.
struct RegistryRecord {
  // The row's "serialnumber" cell, kept as UTF-16 until the moment it is written out.
  std::u16string serial_number;
  // Every other column: local name to cell text, both UTF-8. std::less<std::string> orders
  // keys as unsigned bytes, so "B" < "a" < "\xC3\xA9" and a prefix sorts first.
  std::map<std::string, std::string> properties;

  bool operator==(const RegistryRecord&) const = default;
};

using RegistryRecordList = std::vector<RegistryRecord>;

}  // namespace kolvo
