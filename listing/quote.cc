#include "listing/quote.h"

#include <type_traits>

#include "platform/text/text.h"

namespace kolvo {
namespace {

// Appends the escape for a character that must not appear raw in a JSON string, or returns
// false when it may be copied as it is. Shared by the narrow and wide forms.
template <typename String>
bool append_escape(String& out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char* short_form = nullptr;
  switch (c) {
    case '"':
      short_form = "\\\"";
      break;
    case '\\':
      short_form = "\\\\";
      break;
    case '\b':
      short_form = "\\b";
      break;
    case '\f':
      short_form = "\\f";
      break;
    case '\n':
      short_form = "\\n";
      break;
    case '\r':
      short_form = "\\r";
      break;
    case '\t':
      short_form = "\\t";
      break;
    default:
      if (c >= 0x20) return false;
      for (const char e : {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]}) out += e;
      return true;
  }
  for (const char* e = short_form; *e != '\0'; ++e) out += *e;
  return true;
}

template <typename String, typename View>
String quote_any(View text) {
  String out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = text[i];
    // In a double-byte code page the byte after a lead byte belongs to its character, even
    // where it looks like a backslash: escaping it would break the character in two.
    if constexpr (std::is_same_v<View, std::string_view>) {
      if (is_narrow_lead_byte(c) && i + 1 < text.size()) {
        out += c;
        out += text[++i];
        continue;
      }
    }
    // Bytes and code units from 0x80 up are parts of non-ASCII characters and pass as they are.
    const auto unit = static_cast<std::make_unsigned_t<decltype(c)>>(c);
    if (!append_escape(out, unit)) out += c;
  }
  out += '"';
  return out;
}

}  // namespace

std::string quote(std::string_view narrow) { return quote_any<std::string>(narrow); }

std::u16string quote(std::u16string_view wide) { return quote_any<std::u16string>(wide); }

}  // namespace kolvo
