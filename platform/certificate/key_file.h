// Reading a key file whole, the one part of loading a key that differs between systems.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kolvo {

// A key file is a few kilobytes; anything far larger is not one, and is not read whole.
inline constexpr std::size_t kMaxKeyFileBytes = std::size_t{1} << 20;

// A key file's bytes, cleared before the memory is given back, however the loading ends.
class KeyFileBytes {
 public:
  KeyFileBytes(std::size_t size, std::size_t padding) : bytes_(size + padding, '\0'), size_(size) {}
  ~KeyFileBytes();
  KeyFileBytes(const KeyFileBytes&) = delete;
  KeyFileBytes& operator=(const KeyFileBytes&) = delete;

  char* data() { return bytes_.data(); }
  const char* data() const { return bytes_.data(); }
  std::size_t size() const { return size_; }
  void resize(std::size_t size) { size_ = size; }  // never past the size it was made with

 private:
  std::vector<char> bytes_;  // never reallocated, so no copy is left behind uncleared
  std::size_t size_;
};

// Reads the whole key file, looked for by its name in the working directory, with `padding`
// zero bytes after its end for a parser that reads past it. Anything but a regular file of at
// most kMaxKeyFileBytes is refused. Throws Failure.
std::unique_ptr<KeyFileBytes> read_key_file(const std::string& file, std::size_t padding);

}  // namespace kolvo
