#include "platform/text/text.h"

#include <cstdint>
#include <cstring>

namespace kolvo {
namespace {

// Decodes one code point at p and advances p. An ill-formed sequence yields the default
// character and advances past its maximal subpart, the W3C/Unicode recommended practice, so
// that a bad byte never swallows the valid text after it.
char32_t decode_utf8(const unsigned char*& p, const unsigned char* end) {
  const unsigned char lead = *p++;
  if (lead < 0x80) return lead;
  int length;
  char32_t cp;
  unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return kDefaultCharacter;
  }
  for (int i = 1; i < length; ++i) {
    if (p == end || *p < low || *p > high) return kDefaultCharacter;
    cp = (cp << 6) | (*p++ & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return cp;
}

// Writes the UTF-8 form of cp at o and advances o; the caller has made room for it.
void write_utf8(char*& o, char32_t cp) {
  if (cp < 0x80) {
    *o++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *o++ = static_cast<char>(0xC0 | (cp >> 6));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *o++ = static_cast<char>(0xE0 | (cp >> 12));
    *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *o++ = static_cast<char>(0xF0 | (cp >> 18));
    *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The first byte from p on that is not ASCII, or end. Eight bytes at a time: cells are mostly
// ASCII, and this runs over every one of them.
const unsigned char* skip_ascii(const unsigned char* p, const unsigned char* end) {
  for (; end - p >= 8; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if ((word & 0x8080808080808080u) != 0) break;
  }
  while (p != end && *p < 0x80) ++p;
  return p;
}

bool is_ascii(std::string_view text) {
  const auto p = reinterpret_cast<const unsigned char*>(text.data());
  return skip_ascii(p, p + text.size()) == p + text.size();
}

}  // namespace

std::u16string to_wide(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  auto p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto end = p + utf8.size();
  while (p != end) {
    const char32_t cp = decode_utf8(p, end);
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
  }
  return out;
}

void append_utf8(std::string& out, std::u16string_view utf16) {
  // Written through a pointer into room made beforehand: at most three bytes per unit (a pair
  // of units gives four), so the loop never checks the capacity.
  const std::size_t start = out.size();
  out.resize(start + 3 * utf16.size());
  char* o = out.data() + start;
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    if (unit < 0xD800 || unit > 0xDFFF) {
      write_utf8(o, unit);
    } else if (unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
               utf16[i + 1] <= 0xDFFF) {
      write_utf8(o, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (utf16[i + 1] - 0xDC00));
      ++i;
    } else {
      write_utf8(o, kDefaultCharacter);
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
}

bool is_well_formed_utf8(std::string_view utf8) {
  auto p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto end = p + utf8.size();
  while ((p = skip_ascii(p, end)) != end) {
    // The default character is well formed itself: only its own three bytes may decode to it.
    const unsigned char* const start = p;
    if (decode_utf8(p, end) == kDefaultCharacter &&
        !(p - start == 3 && start[0] == 0xEF && start[1] == 0xBF && start[2] == 0xBD)) {
      return false;
    }
  }
  return true;
}

std::string repair_utf8(std::string_view utf8) {
  if (is_ascii(utf8)) return std::string(utf8);
  // Each input byte gives at most the three bytes of the default character.
  std::string out(3 * utf8.size(), '\0');
  char* o = out.data();
  auto p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto end = p + utf8.size();
  while (p != end) write_utf8(o, decode_utf8(p, end));
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

}  // namespace kolvo
