// Both listings of a random registry. Cell text is arbitrary bytes made valid UTF-8 the way the
// retrieval makes it (to_narrow on every cell); serial numbers are arbitrary UTF-16, unpaired
// surrogates included. A real JSON parser must read back exactly the records written, and the
// plain listing must be exactly one line per record. The property maps are checked against
// std::map on the way.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "listing/listing.h"
#include "platform/text/text.h"
#include "registry/registry_record.h"

namespace {

// Mostly characters worth escaping or pairing, so that surrogate pairs, lone surrogates and
// controls meet each other often.
std::u16string consume_serial(FuzzedDataProvider& provider) {
  std::u16string serial;
  const std::size_t length = provider.ConsumeIntegralInRange<std::size_t>(0, 24);
  for (std::size_t i = 0; i < length && provider.remaining_bytes() > 0; ++i) {
    const auto kind = provider.ConsumeIntegral<std::uint8_t>();
    const auto bits = provider.ConsumeIntegral<std::uint16_t>();
    switch (kind % 5) {
      case 0:
        serial += static_cast<char16_t>(bits & 0x7F);
        break;
      case 1:
        serial += static_cast<char16_t>(0xD800 + (bits & 0x3FF));
        break;
      case 2:
        serial += static_cast<char16_t>(0xDC00 + (bits & 0x3FF));
        break;
      case 3:
        serial += static_cast<char16_t>(bits & 0x1F);
        break;
      default:
        serial += static_cast<char16_t>(bits);
        break;
    }
  }
  return serial;
}

// As the retrieval stores cells: whatever bytes came, made valid UTF-8.
std::string consume_cell(FuzzedDataProvider& provider, std::size_t max_length) {
  const std::string raw = provider.ConsumeRandomLengthString(max_length);
  return kolvo::to_narrow(std::string_view(raw));
}

// The records' property maps against std::map, the structure they replace: same entries in the
// same (unsigned byte) order, the first of two equal keys kept, lookups agreeing for keys
// present and absent.
void check_property_map(const kolvo::PropertyMap& properties,
                        const std::map<std::string, std::string>& model,
                        const std::vector<std::string>& probes) {
  FUZZ_CHECK(properties.size() == model.size());
  FUZZ_CHECK(properties.empty() == model.empty());
  auto expected = model.begin();
  for (const auto& [key, value] : properties) {
    FUZZ_CHECK(expected != model.end());
    FUZZ_CHECK(key == expected->first && value == expected->second);
    ++expected;
  }
  for (const std::string& probe : probes) {
    const auto found = model.find(probe);
    FUZZ_CHECK(properties.contains(probe) == (found != model.end()));
    try {
      const std::string_view value = properties.at(probe);
      FUZZ_CHECK(found != model.end() && value == found->second);
    } catch (const std::out_of_range&) {
      FUZZ_CHECK(found == model.end());
    }
  }
}

kolvo::RegistryRecordList consume_list(FuzzedDataProvider& provider) {
  kolvo::RegistryRecordList list;
  const std::size_t count = provider.ConsumeIntegralInRange<std::size_t>(0, 12);
  for (std::size_t i = 0; i < count; ++i) {
    kolvo::RegistryRecord& record = list.emplace_back();
    record.serial_number = consume_serial(provider);
    std::map<std::string, std::string> model;
    std::vector<std::string> probes;
    const std::size_t properties = provider.ConsumeIntegralInRange<std::size_t>(0, 8);
    for (std::size_t j = 0; j < properties; ++j) {
      // Short keys, so that equal keys and prefixes of each other come up often.
      const std::string key = consume_cell(provider, 6);
      const std::string value = consume_cell(provider, 64);
      const bool added = record.properties.emplace(key, value);
      FUZZ_CHECK(added == model.emplace(key, value).second);
      probes.push_back(key);
      probes.push_back(key + '\0');
      if (!key.empty()) probes.push_back(key.substr(0, key.size() - 1));
    }
    probes.push_back(consume_cell(provider, 6));
    check_property_map(record.properties, model, probes);
  }
  return list;
}

void check_json_record(const nlohmann::ordered_json& object, const kolvo::RegistryRecord& record) {
  FUZZ_CHECK(object.is_object() && object.size() == 2);
  auto member = object.begin();
  FUZZ_CHECK(member.key() == "serialnumber" && member.value().is_string());
  FUZZ_CHECK(member.value().get<std::string>() == kolvo::to_narrow(record.serial_number));
  ++member;
  FUZZ_CHECK(member.key() == "properties" && member.value().is_object());
  const nlohmann::ordered_json& properties = member.value();
  FUZZ_CHECK(properties.size() == record.properties.size());
  // Written in key order, each exactly as held (the cells are valid UTF-8 already).
  auto property = properties.begin();
  for (const auto& [key, value] : record.properties) {
    FUZZ_CHECK(property.key() == key);
    FUZZ_CHECK(property.value().is_string() && property.value().get<std::string>() == value);
    ++property;
  }
}

void check_json_listing(const kolvo::RegistryRecordList& list) {
  std::ostringstream out;
  kolvo::write_json_listing(list, out);
  const std::string text = out.str();
  FUZZ_CHECK(fuzz::is_valid_utf8(text));
  FUZZ_CHECK(text.rfind("[\n", 0) == 0 && text.back() == ']');

  const auto document = nlohmann::ordered_json::parse(text, nullptr, false);
  FUZZ_CHECK(!document.is_discarded());
  FUZZ_CHECK(document.is_array() && document.size() == list.size());
  for (std::size_t i = 0; i < list.size(); ++i) check_json_record(document[i], list[i]);

  // One record per line: every line between "[" and "]" is a whole object of its own, so a
  // reader can take the listing line by line.
  FUZZ_CHECK(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) ==
             list.size() + 1);
  std::size_t at = 2;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::size_t end = text.find('\n', at);
    std::string_view line = std::string_view(text).substr(at, end - at);
    if (i + 1 != list.size()) {
      FUZZ_CHECK(!line.empty() && line.back() == ',');
      line.remove_suffix(1);
    }
    const auto object = nlohmann::ordered_json::parse(line, nullptr, false);
    FUZZ_CHECK(!object.is_discarded());
    check_json_record(object, list[i]);
    at = end + 1;
  }
  FUZZ_CHECK(at == text.size() - 1);
}

void check_plain_listing(const kolvo::RegistryRecordList& list) {
  std::ostringstream out;
  kolvo::write_plain_listing(list, out);
  const std::string text = out.str();

  std::string expected;
  bool has_newline = false;
  for (const kolvo::RegistryRecord& record : list) {
    const std::string serial = kolvo::to_narrow(record.serial_number);
    has_newline = has_newline || serial.find('\n') != std::string::npos;
    expected += serial;
    for (const auto& [key, value] : record.properties) {
      has_newline = has_newline || value.find('\n') != std::string::npos;
      expected += ", ";
      expected += value;
    }
    expected += '\n';
  }
  FUZZ_CHECK(text == expected);
  FUZZ_CHECK(fuzz::is_valid_utf8(text));
  if (!has_newline) {
    FUZZ_CHECK(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) == list.size());
    FUZZ_CHECK(list.empty() || text.back() == '\n');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const kolvo::RegistryRecordList list = consume_list(provider);
  check_json_listing(list);
  check_plain_listing(list);
  return 0;
}
