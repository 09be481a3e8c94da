// Collects a JSON answer as it arrives, without the whitespace between tokens.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kolvo {

// The JSON answers have to be held whole before they are parsed. Whitespace outside strings
// carries nothing, yet a pretty-printed answer is mostly that, and a hostile one can be
// nothing else (a compressed run of blanks inflates without limit): dropping it as it arrives
// keeps what is held close to what the answer says. Strings are copied exactly.
class JsonBody {
 public:
  void append(std::string_view bytes);
  // The collected text, followed by at least `padding` spare bytes of capacity for parsers
  // that read ahead.
  std::string_view text(std::size_t padding);
  std::size_t size() const { return text_.size(); }

 private:
  std::string text_;
  bool in_string_ = false;
  bool escaped_ = false;  // the previous string byte was a backslash
};

}  // namespace kolvo
