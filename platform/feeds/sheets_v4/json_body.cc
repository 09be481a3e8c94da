#include "platform/feeds/sheets_v4/json_body.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/failure/failure.h"

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

JsonBody::Buffer::~Buffer() { std::free(data_); }

void JsonBody::Buffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  std::size_t grown = capacity_ < 4096 ? 4096 : capacity_;
  while (grown < capacity) grown *= 2;
  void* moved = std::realloc(data_, grown);
  if (moved == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(moved);
  capacity_ = grown;
}

void JsonBody::Buffer::put(const char* bytes, std::size_t count) {
  if (count == 0) return;
  reserve(size_ + count);
  std::memcpy(data_ + size_, bytes, count);
  size_ += count;
}

std::string_view JsonBody::Buffer::padded(std::size_t padding) {
  // One byte more than asked for, so that even an empty text has somewhere to point.
  reserve(size_ + padding + 1);
  // The spare bytes are written too, so a parser that reads ahead reads defined bytes.
  std::memset(data_ + size_, ' ', padding);
  return {data_, size_};
}

void JsonBody::divert_array_member(std::string_view name, std::size_t batch_bytes,
                                   std::size_t padding, ElementSink each_batch) {
  divert_ = Divert::looking;
  quoted_name_.assign(1, '"');
  quoted_name_.append(name);
  quoted_name_.push_back('"');
  batch_bytes_ = batch_bytes;
  padding_ = padding;
  each_batch_ = std::move(each_batch);
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
      out().put(start, static_cast<std::size_t>(p - start));
      if (!in_string_ && in_key_) string_closed();
    } else {
      const char* const blank = p;
      while (p != end && is_json_space(*p)) ++p;
      if (p != blank) blank_pending_ = true;
      if (p == end) break;
      if (blank_pending_) {
        blank_pending_ = false;
        Buffer& to = out();
        if (to.size() != 0 && !is_json_punctuation(to.last()) && !is_json_punctuation(*p)) {
          to.put(' ');
        }
      }
      if (divert_ == Divert::off) {
        const char* start = p;
        while (p != end && !is_json_space(*p) && *p != '"') ++p;
        if (p != end && *p == '"') {
          in_string_ = true;
          ++p;
        }
        kept_.put(start, static_cast<std::size_t>(p - start));
      } else {
        // The structure is followed a byte at a time; only the bytes between strings come
        // this way, and in an array of strings they are few.
        for (; p != end && !is_json_space(*p) && !in_string_; ++p) structural(*p);
      }
    }
  }
}

void JsonBody::structural(char c) {
  const bool key_expected = key_expected_;
  key_expected_ = false;
  const bool leaves_member = divert_ == Divert::after_key || divert_ == Divert::after_colon;
  switch (c) {
    case '"':
      // A string where the member's array should start: it is not an array, and as the first
      // member of that name it is the one that counts, so nothing is handed on.
      if (leaves_member) divert_ = Divert::done;
      in_key_ = key_expected && depth_ == 1 && root_is_object_;
      if (in_key_) key_start_ = kept_.size();
      in_string_ = true;
      break;
    case '{':
    case '[':
      if (divert_ == Divert::after_colon && c == '[') {
        kept_.put(c);
        ++depth_;
        divert_ = Divert::inside;
        batch_.clear();
        batch_.put('[');
        return;
      }
      if (leaves_member) divert_ = Divert::done;
      if (depth_ == 0 && divert_ == Divert::looking) {
        root_is_object_ = c == '{';
        key_expected_ = root_is_object_;
        if (!root_is_object_) divert_ = Divert::done;
      }
      ++depth_;
      break;
    case '}':
    case ']':
      if (divert_ == Divert::inside && depth_ == 2) {
        // The array ends: what is left of it goes on, and a comma just before the end (taken
        // when the last batch went) leaves an element missing.
        if (comma_consumed_ && batch_.size() == 1) throw Failure("the answer is not JSON");
        if (batch_.size() > 1) hand_on_batch();
        divert_ = Divert::done;
        --depth_;
        kept_.put(c);
        return;
      }
      if (leaves_member) divert_ = Divert::done;
      if (depth_ > 0) --depth_;
      // Past the root, nothing more is looked for: what follows makes the answer invalid.
      if (depth_ == 0 && divert_ != Divert::inside) divert_ = Divert::done;
      break;
    case ',':
      if (divert_ == Divert::inside && depth_ == 2) {
        // A comma with no element before it, at the start or just after the last batch went.
        if (batch_.size() == 1) throw Failure("the answer is not JSON");
        if (batch_.size() >= batch_bytes_) {
          // The batch ends between two elements; the comma is taken here, so the next batch
          // starts with an element of its own.
          hand_on_batch();
          comma_consumed_ = true;
          return;
        }
      }
      if (leaves_member) divert_ = Divert::done;
      key_expected_ = depth_ == 1 && root_is_object_;
      break;
    case ':':
      divert_ = divert_ == Divert::after_key     ? Divert::after_colon
                : divert_ == Divert::after_colon ? Divert::done
                                                 : divert_;
      break;
    default:
      if (leaves_member) divert_ = Divert::done;
      break;
  }
  out().put(c);
}

void JsonBody::string_closed() {
  in_key_ = false;
  if (divert_ != Divert::looking) return;
  const std::string_view key = kept_.view(key_start_);
  if (key == quoted_name_) {
    divert_ = Divert::after_key;
  } else if (key.find('\\') != std::string_view::npos) {
    divert_ = Divert::done;
  }
}

void JsonBody::hand_on_batch() {
  batch_.put(']');
  each_batch_(batch_.padded(padding_));
  batch_.clear();
  batch_.put('[');
  comma_consumed_ = false;
}

std::string_view JsonBody::text(std::size_t padding) { return kept_.padded(padding); }

}  // namespace kolvo
