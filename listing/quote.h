// JSON string literals: the one writer of them, for the JSON listing and for the claims the
// sign-in signs.
#pragma once

#include <string>
#include <string_view>

namespace kolvo {

// Both return their argument as an RFC 8259 string literal: surrounding double quotes,
// `"` and `\` escaped, \b \f \n \r \t for those controls, \u00xx for the other controls
// below U+0020. Everything else, non-ASCII included, is copied unchanged, so a cell can
// neither break the document nor inject members into it. Narrow text in a double-byte code
// page keeps each character whole: its second byte is never escaped.
std::string quote(std::string_view narrow);
std::u16string quote(std::u16string_view wide);

}  // namespace kolvo
