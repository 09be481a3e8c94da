#include "registry/registry_record.h"

#include <stdexcept>

namespace kolvo {

PropertyMap::PropertyMap(std::initializer_list<value_type> entries) {
  for (const auto& [key, value] : entries) emplace(key, value);
}

PropertyMap::value_type PropertyMap::entry(std::size_t index) const {
  const std::size_t key_begin = index == 0 ? 0 : ends_[2 * index - 1];
  const std::size_t key_end = ends_[2 * index];
  const std::size_t value_end = ends_[2 * index + 1];
  const std::string_view text = text_;
  return {text.substr(key_begin, key_end - key_begin), text.substr(key_end, value_end - key_end)};
}

std::size_t PropertyMap::lower_bound(std::string_view key) const {
  std::size_t low = 0, high = size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (entry(middle).first < key) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

bool PropertyMap::emplace(std::string_view key, std::string_view value) {
  const std::size_t index = lower_bound(key);
  if (index < size() && entry(index).first == key) return false;
  const std::size_t at = index == 0 ? 0 : ends_[2 * index - 1];
  text_.insert(at, key);
  text_.insert(at + key.size(), value);
  const auto grown = static_cast<std::uint32_t>(key.size() + value.size());
  for (std::size_t i = 2 * index; i < ends_.size(); ++i) ends_[i] += grown;
  const auto key_end = static_cast<std::uint32_t>(at + key.size());
  ends_.insert(ends_.begin() + static_cast<std::ptrdiff_t>(2 * index),
               {key_end, static_cast<std::uint32_t>(key_end + value.size())});
  return true;
}

std::string_view PropertyMap::at(std::string_view key) const {
  const std::size_t index = lower_bound(key);
  if (index == size() || entry(index).first != key) throw std::out_of_range("no such property");
  return entry(index).second;
}

bool PropertyMap::contains(std::string_view key) const {
  const std::size_t index = lower_bound(key);
  return index < size() && entry(index).first == key;
}

}  // namespace kolvo
