// Checks shared by the fuzz targets. They must hold in release builds too (NDEBUG is set
// there), so they abort on their own rather than through assert.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/feeds/feed.h"
#include "platform/text/text.h"
#include "registry/registry.h"

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace fuzz {

// Well-formed UTF-8 as the Unicode standard's table of well-formed byte sequences has it:
// no overlong forms, no surrogates, nothing above U+10FFFF. Written from the table rather than
// shared with the program's decoder, so a mistake in one is not repeated in the other.
inline bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  auto in = [](unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
  };
  while (p != end) {
    const unsigned char b0 = p[0];
    const std::size_t left = static_cast<std::size_t>(end - p);
    if (b0 <= 0x7F) {
      p += 1;
    } else if (in(b0, 0xC2, 0xDF)) {
      if (left < 2 || !in(p[1], 0x80, 0xBF)) return false;
      p += 2;
    } else if (in(b0, 0xE0, 0xEF)) {
      const unsigned char low = b0 == 0xE0 ? 0xA0 : 0x80;
      const unsigned char high = b0 == 0xED ? 0x9F : 0xBF;
      if (left < 3 || !in(p[1], low, high) || !in(p[2], 0x80, 0xBF)) return false;
      p += 3;
    } else if (in(b0, 0xF0, 0xF4)) {
      const unsigned char low = b0 == 0xF0 ? 0x90 : 0x80;
      const unsigned char high = b0 == 0xF4 ? 0x8F : 0xBF;
      if (left < 4 || !in(p[1], low, high) || !in(p[2], 0x80, 0xBF) || !in(p[3], 0x80, 0xBF))
        return false;
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

inline bool same_entry(const kolvo::FeedEntry& a, const kolvo::FeedEntry& b) {
  if (a.title != b.title || a.id != b.id || a.links.size() != b.links.size() ||
      a.elements.size() != b.elements.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.links.size(); ++i) {
    if (a.links[i].rel != b.links[i].rel || a.links[i].href != b.links[i].href) return false;
  }
  for (std::size_t i = 0; i < a.elements.size(); ++i) {
    if (a.elements[i].local_name != b.elements[i].local_name ||
        a.elements[i].value != b.elements[i].value) {
      return false;
    }
  }
  return true;
}

inline bool same_feed(const kolvo::Feed& a, const kolvo::Feed& b) {
  if (a.entries.size() != b.entries.size()) return false;
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    if (!same_entry(a.entries[i], b.entries[i])) return false;
  }
  return true;
}

// Cuts bytes as network reads would, at boundaries drawn by a generator seeded from the bytes
// themselves, so the same input always gives the same pieces. Piece lengths mix single bytes
// (a boundary inside every UTF-8 sequence, tag, escape or entity), small pieces and large ones.
inline std::vector<std::string_view> split_pieces(std::string_view bytes) {
  std::uint32_t state = static_cast<std::uint32_t>(bytes.size()) * 2654435761u;
  for (std::size_t i = 0; i < bytes.size() && i < 16; ++i) {
    state = (state ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
  }
  if (!bytes.empty())
    state ^= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes.back())) << 24;
  std::vector<std::string_view> pieces;
  std::size_t at = 0;
  while (at < bytes.size()) {
    state = state * 1103515245u + 12345u;
    static constexpr std::size_t kLimits[] = {1, 2, 3, 8, 64, 4096};
    const std::size_t limit = kLimits[(state >> 8) % std::size(kLimits)];
    const std::size_t piece = 1 + (state >> 16) % limit;
    pieces.push_back(bytes.substr(at, piece));
    at += piece;
  }
  return pieces;
}

// to_record against its contract: the last serialnumber cell is the serial number, every other
// cell a property under its name, the first of two equal names winning.
inline void check_record(const kolvo::FeedEntry& entry) {
  const kolvo::RegistryRecord record = kolvo::to_record(entry);
  std::u16string serial;
  std::map<std::string, std::string> first_values;
  for (const kolvo::ListElement& element : entry.elements) {
    if (element.local_name == kolvo::kSerialNumberColumn) {
      serial = kolvo::to_wide(element.value);
    } else {
      first_values.emplace(kolvo::to_narrow(std::string_view(element.local_name)),
                           kolvo::to_narrow(std::string_view(element.value)));
    }
  }
  FUZZ_CHECK(record.serial_number == serial);
  FUZZ_CHECK(record.properties.size() == first_values.size());
  auto expected = first_values.begin();
  for (const auto& [key, value] : record.properties) {
    FUZZ_CHECK(key == expected->first && value == expected->second);
    FUZZ_CHECK(is_valid_utf8(key));
    FUZZ_CHECK(is_valid_utf8(value));
    ++expected;
  }
  FUZZ_CHECK(!record.properties.contains(kolvo::kSerialNumberColumn));
}

}  // namespace fuzz
