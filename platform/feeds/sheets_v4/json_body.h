// Collects a JSON answer as it arrives, without the whitespace between tokens.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kolvo {

// The JSON answers have to be held whole before they are parsed. Whitespace outside strings
// carries nothing, yet a pretty-printed answer is mostly that, and a hostile one can be
// nothing else (a compressed run of blanks inflates without limit): dropping it as it arrives
// keeps what is held close to what the answer says. Strings are copied exactly, and one blank
// stays wherever dropping it would join two tokens.
//
// One array member of the root object can instead be handed on as it arrives, so that an
// answer that is mostly one long array is neither held whole nor parsed only after its last
// byte. What is kept is then the answer with that array empty.
class JsonBody {
 public:
  // Takes a JSON array of whole elements, followed by the padding asked for.
  using ElementSink = std::function<void(std::string_view array)>;

  JsonBody() = default;
  JsonBody(const JsonBody&) = delete;
  JsonBody& operator=(const JsonBody&) = delete;

  // The elements of the root object's first member named `name` (the name as written, with
  // no escapes) go to each_batch, whenever at least batch_bytes of them have arrived and at
  // the array's end, as an array text of their own, compacted the same way. Only when that
  // member is an array; when a key with an escape comes before it, nothing is handed on, as
  // the escape could spell the same name. Throws Failure when the array's text cannot be
  // JSON where the batches meet: each batch is checked only by whoever parses it. Call
  // before the first append.
  void divert_array_member(std::string_view name, std::size_t batch_bytes, std::size_t padding,
                           ElementSink each_batch);

  void append(std::string_view bytes);
  // The collected text, followed by at least `padding` spare bytes of capacity for parsers
  // that read ahead.
  std::string_view text(std::size_t padding);
  std::size_t size() const { return kept_.size(); }

 private:
  // Grows by doubling; a large block of the C library's grows where it lies (its pages are
  // remapped) instead of being copied into fresh memory, which for an answer of many
  // megabytes would cost more than the parse.
  class Buffer {
   public:
    Buffer() = default;
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    void put(const char* bytes, std::size_t count);
    void put(char c) { put(&c, 1); }
    // The text followed by `padding` defined spare bytes.
    std::string_view padded(std::size_t padding);
    void clear() { size_ = 0; }
    std::size_t size() const { return size_; }
    char last() const { return data_[size_ - 1]; }
    std::string_view view(std::size_t from) const { return {data_ + from, size_ - from}; }

   private:
    void reserve(std::size_t capacity);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
  };

  // Where the diverted member has got to, as the bytes outside strings come in.
  enum class Divert { off, looking, after_key, after_colon, inside, done };

  Buffer& out() { return divert_ == Divert::inside ? batch_ : kept_; }
  void structural(char c);
  void string_closed();
  void hand_on_batch();

  Buffer kept_;
  bool in_string_ = false;
  bool escaped_ = false;        // the previous string byte was a backslash
  bool blank_pending_ = false;  // blanks were dropped since the last byte kept

  // The structure around the diverted member: nesting outside strings, and the root object's
  // keys, which is where the member is looked for.
  Divert divert_ = Divert::off;
  std::string quoted_name_;
  std::size_t batch_bytes_ = 0;
  std::size_t padding_ = 0;
  ElementSink each_batch_;
  std::size_t depth_ = 0;
  bool root_is_object_ = false;
  bool key_expected_ = false;
  std::size_t key_start_ = 0;
  bool in_key_ = false;
  Buffer batch_;                 // "[" and the elements not yet handed on
  bool comma_consumed_ = false;  // the last batch ended at a comma, so an element must follow
};

}  // namespace kolvo
