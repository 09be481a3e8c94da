// Collects a JSON answer as it arrives, without the whitespace between tokens.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kolvo {

// The JSON answers have to be held whole before they are parsed. Whitespace outside strings
// carries nothing, yet a pretty-printed answer is mostly that, and a hostile one can be
// nothing else (a compressed run of blanks inflates without limit): dropping it as it arrives
// keeps what is held close to what the answer says. Strings are copied exactly, and one blank
// stays wherever dropping it would join two tokens.
class JsonBody {
 public:
  JsonBody() = default;
  ~JsonBody();
  JsonBody(const JsonBody&) = delete;
  JsonBody& operator=(const JsonBody&) = delete;

  void append(std::string_view bytes);
  // The collected text, followed by at least `padding` spare bytes of capacity for parsers
  // that read ahead.
  std::string_view text(std::size_t padding);
  std::size_t size() const { return size_; }

 private:
  void put(const char* bytes, std::size_t count);
  void reserve(std::size_t capacity);
  char last() const { return data_[size_ - 1]; }

  // Grown with realloc rather than held in a std::string: a large block then grows where it
  // lies (the C library remaps its pages) instead of being copied into fresh memory at every
  // doubling, which for an answer of many megabytes costs more than the parse.
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool in_string_ = false;
  bool escaped_ = false;        // the previous string byte was a backslash
  bool blank_pending_ = false;  // blanks were dropped since the last byte kept
};

}  // namespace kolvo
