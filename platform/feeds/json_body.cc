#include "platform/feeds/json_body.h"

namespace kolvo {
namespace {

bool is_json_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

}  // namespace

void JsonBody::append(std::string_view bytes) {
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p != end) {
    if (in_string_) {
      // Copy up to and including the closing quote, minding escapes.
      const char* start = p;
      while (p != end) {
        const char c = *p++;
        if (escaped_) {
          escaped_ = false;
        } else if (c == '\\') {
          escaped_ = true;
        } else if (c == '"') {
          in_string_ = false;
          break;
        }
      }
      text_.append(start, static_cast<std::size_t>(p - start));
    } else {
      while (p != end && is_json_space(*p)) ++p;
      const char* start = p;
      while (p != end && !is_json_space(*p) && *p != '"') ++p;
      if (p != end && *p == '"') {
        in_string_ = true;
        ++p;
      }
      text_.append(start, static_cast<std::size_t>(p - start));
    }
  }
}

std::string_view JsonBody::text(std::size_t padding) {
  const std::size_t size = text_.size();
  text_.resize(size + padding);
  text_.resize(size);  // keeps the capacity, so the padding bytes stay readable
  return text_;
}

}  // namespace kolvo
