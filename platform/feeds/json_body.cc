#include "platform/feeds/json_body.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace kolvo {
namespace {

bool is_json_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Bytes that end a token on their own. A blank between two bytes that are not among them
// (as in "1 2" or "tr ue") separates tokens, and dropping it would make an invalid answer
// read as a valid one.
bool is_json_punctuation(char c) {
  return c == '{' || c == '}' || c == '[' || c == ']' || c == ':' || c == ',' || c == '"';
}

}  // namespace

JsonBody::~JsonBody() { std::free(data_); }

void JsonBody::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  std::size_t grown = capacity_ < 4096 ? 4096 : capacity_;
  while (grown < capacity) grown *= 2;
  void* moved = std::realloc(data_, grown);
  if (moved == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(moved);
  capacity_ = grown;
}

void JsonBody::put(const char* bytes, std::size_t count) {
  if (count == 0) return;
  reserve(size_ + count);
  std::memcpy(data_ + size_, bytes, count);
  size_ += count;
}

void JsonBody::append(std::string_view bytes) {
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p != end) {
    if (in_string_) {
      // Copy up to and including the closing quote: the first quote not escaped by an odd run
      // of backslashes. memchr finds the candidates quickly in long strings.
      const char* start = p;
      if (escaped_) {
        escaped_ = false;
        ++p;
      }
      while (p != end) {
        const void* found = std::memchr(p, '"', static_cast<std::size_t>(end - p));
        const char* quote = found != nullptr ? static_cast<const char*>(found) : end;
        std::size_t backslashes = 0;
        for (const char* b = quote; b != p && b[-1] == '\\'; --b) ++backslashes;
        if (quote == end) {
          escaped_ = backslashes % 2 == 1;
          p = end;
        } else {
          p = quote + 1;
          if (backslashes % 2 == 0) {
            in_string_ = false;
            break;
          }
        }
      }
      put(start, static_cast<std::size_t>(p - start));
    } else {
      const char* const blank = p;
      while (p != end && is_json_space(*p)) ++p;
      if (p != blank) blank_pending_ = true;
      if (p == end) break;
      if (blank_pending_) {
        blank_pending_ = false;
        if (size_ != 0 && !is_json_punctuation(last()) && !is_json_punctuation(*p)) {
          put(" ", 1);
        }
      }
      const char* start = p;
      while (p != end && !is_json_space(*p) && *p != '"') ++p;
      if (p != end && *p == '"') {
        in_string_ = true;
        ++p;
      }
      put(start, static_cast<std::size_t>(p - start));
    }
  }
}

std::string_view JsonBody::text(std::size_t padding) {
  // One byte more than asked for, so that even an empty answer has somewhere to point.
  reserve(size_ + padding + 1);
  // The spare bytes are written too, so a parser that reads ahead reads defined bytes.
  std::memset(data_ + size_, ' ', padding);
  return {data_, size_};
}

}  // namespace kolvo
