// The UTF-8 / UTF-16 conversions on arbitrary input, read both as bytes and as UTF-16 code
// units. The conversions are checked against a decoder written here from the Unicode table of
// well-formed sequences, and against the round trips the rest of the program relies on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/text/text.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void append_utf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
  }
}

// UTF-8 to UTF-16 with one U+FFFD per maximal subpart of an ill-formed sequence: a lead byte
// and as many continuation bytes as could still begin a well-formed sequence.
std::u16string reference_to_wide(std::string_view text) {
  struct Range {
    unsigned char low, high;
  };
  std::u16string out;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = s[i];
    Range ranges[3] = {{0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}};
    std::size_t trail;
    char32_t cp;
    if (lead <= 0x7F) {
      out += lead;
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) ranges[0] = {0xA0, 0xBF};
      if (lead == 0xED) ranges[0] = {0x80, 0x9F};
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) ranges[0] = {0x90, 0xBF};
      if (lead == 0xF4) ranges[0] = {0x80, 0x8F};
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t taken = 0;
    while (taken < trail && i + 1 + taken < n && s[i + 1 + taken] >= ranges[taken].low &&
           s[i + 1 + taken] <= ranges[taken].high) {
      cp = (cp << 6) | (s[i + 1 + taken] & 0x3F);
      ++taken;
    }
    if (taken == trail) {
      append_utf16(out, cp);
    } else {
      out += kReplacement;
    }
    i += 1 + taken;
  }
  return out;
}

// The code units with every unpaired surrogate replaced: what UTF-8 can carry of them.
std::u16string without_unpaired_surrogates(std::u16string_view units) {
  std::u16string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      out += unit;
      out += units[++i];
    } else if (high || low) {
      out += kReplacement;
    } else {
      out += unit;
    }
  }
  return out;
}

void check_bytes(std::string_view bytes) {
  const std::u16string wide = kolvo::to_wide(bytes);
  FUZZ_CHECK(wide == reference_to_wide(bytes));
  FUZZ_CHECK(without_unpaired_surrogates(wide) == wide);

  const std::string narrow = kolvo::to_narrow(bytes);
  FUZZ_CHECK(fuzz::is_valid_utf8(narrow));
  // Both routes to valid UTF-8 replace the same sequences the same way.
  FUZZ_CHECK(kolvo::to_narrow(wide) == narrow);
  FUZZ_CHECK(kolvo::to_narrow(std::string_view(narrow)) == narrow);
  FUZZ_CHECK(kolvo::to_wide(narrow) == wide);
  // The check that lets text skip the copy agrees with the copy and with the table.
  FUZZ_CHECK(kolvo::is_well_formed_utf8(bytes) == fuzz::is_valid_utf8(bytes));
  if (fuzz::is_valid_utf8(bytes)) {
    FUZZ_CHECK(narrow == bytes);
  } else {
    FUZZ_CHECK(wide.find(kReplacement) != std::u16string::npos);
  }
}

void check_units(std::u16string_view units) {
  const std::string narrow = kolvo::to_narrow(units);
  FUZZ_CHECK(fuzz::is_valid_utf8(narrow));
  const std::u16string expected = without_unpaired_surrogates(units);
  // Without unpaired surrogates the round trip gives the units back exactly.
  FUZZ_CHECK(kolvo::to_wide(narrow) == expected);

  std::string appended = "prefix\xC3\xA9";
  kolvo::append_narrow(appended, units);
  FUZZ_CHECK(appended == "prefix\xC3\xA9" + narrow);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_bytes(bytes);

  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  check_units(units);
  return 0;
}
