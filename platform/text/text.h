// Conversions between the feeds' UTF-8 text, the wide (UTF-16) serial numbers and the
// narrow (UTF-8) output encoding.
#pragma once

#include <string>
#include <string_view>

namespace kolvo {

// The character that stands in for anything the target encoding cannot represent.
inline constexpr char32_t kDefaultCharacter = U'\uFFFD';

// UTF-8 to UTF-16. Every well-formed sequence is kept exactly, embedded NULs included;
// an ill-formed byte sequence becomes one default character per maximal bad subpart.
std::u16string to_wide(std::string_view utf8);

// UTF-16 to UTF-8. An unpaired surrogate becomes the default character; nothing fails.
std::string to_narrow(std::u16string_view utf16);

// UTF-8 to UTF-8 with every ill-formed sequence replaced by the default character, so that
// whatever reaches the output is valid UTF-8. Well-formed input is returned unchanged.
std::string to_narrow(std::string_view utf8);

// Whether to_narrow would return utf8 unchanged: callers that only need to check can then use
// the text where it is instead of a copy.
bool is_well_formed_utf8(std::string_view utf8);

// Appends the UTF-8 form of a wide string to out; the form to_narrow returns.
void append_narrow(std::string& out, std::u16string_view utf16);

}  // namespace kolvo
