// Conversions between the feeds' UTF-8 text, the wide (UTF-16) serial numbers and the narrow
// text the program writes: UTF-8 on Linux, the ANSI code page of the running thread on Windows.
#pragma once

#include <string>
#include <string_view>

namespace kolvo {

// The character that stands in for an ill-formed UTF-8 sequence or an unpaired surrogate.
inline constexpr char32_t kDefaultCharacter = U'\uFFFD';

// UTF-8 to UTF-16. Every well-formed sequence is kept exactly, embedded NULs included;
// an ill-formed byte sequence becomes one default character per maximal bad subpart.
std::u16string to_wide(std::string_view utf8);

// UTF-16 to UTF-8, appended to out. An unpaired surrogate becomes the default character;
// nothing fails.
void append_utf8(std::string& out, std::u16string_view utf16);

// UTF-8 to UTF-8 with every ill-formed sequence replaced by the default character, so that
// whatever reads it next sees valid UTF-8. Well-formed input is returned unchanged.
std::string repair_utf8(std::string_view utf8);

// Whether repair_utf8 would return utf8 unchanged: callers that only need to check can then use
// the text where it is instead of a copy.
bool is_well_formed_utf8(std::string_view utf8);

// Narrow text. A character the narrow encoding cannot hold becomes that encoding's default
// character (never a look-alike), and no conversion fails. On Linux the narrow encoding is
// UTF-8, and these are the UTF-8 functions above.
#ifdef _WIN32
// Through the thread's ANSI code page, with no best-fit mapping.
std::string to_narrow(std::u16string_view utf16);
std::string to_narrow(std::string_view utf8);
void append_narrow(std::string& out, std::u16string_view utf16);
// Whether to_narrow(utf8) would return utf8 unchanged: true for ASCII, which every ANSI code
// page holds as it is.
bool is_narrow_as_it_stands(std::string_view utf8);
// Whether the byte begins a double-byte character of the code page (932, 936, 949, 950), whose
// second byte may look like ASCII: a backslash, say, that must not be escaped on its own.
bool is_narrow_lead_byte(char byte);
#else
inline void append_narrow(std::string& out, std::u16string_view utf16) { append_utf8(out, utf16); }
inline std::string to_narrow(std::u16string_view utf16) {
  std::string out;
  append_utf8(out, utf16);
  return out;
}
inline std::string to_narrow(std::string_view utf8) { return repair_utf8(utf8); }
inline bool is_narrow_as_it_stands(std::string_view utf8) { return is_well_formed_utf8(utf8); }
// UTF-8 never puts an ASCII byte inside a longer character.
inline bool is_narrow_lead_byte(char) { return false; }
#endif

}  // namespace kolvo
