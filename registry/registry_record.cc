#include "registry/registry_record.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace kolvo {

PropertyMap::PropertyMap(std::initializer_list<value_type> entries) {
  std::vector<value_type> all(entries);
  assign(all);
}

void PropertyMap::assign(std::vector<value_type>& entries) {
  // Stable, so that of equal keys the first given stays first and is the one kept.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const value_type& a, const value_type& b) { return a.first < b.first; });
  entries.erase(
      std::unique(entries.begin(), entries.end(),
                  [](const value_type& a, const value_type& b) { return a.first == b.first; }),
      entries.end());
  data_.clear();
  if (entries.empty()) return;
  std::size_t text_bytes = 0;
  for (const auto& [key, value] : entries) text_bytes += key.size() + value.size();
  const std::size_t total = kCountBytes + entries.size() * kEntryBytes + text_bytes;
  if (total > UINT32_MAX) throw std::length_error("property map too large");

  data_.resize(total);
  char* const base = data_.data();
  const auto count = static_cast<std::uint32_t>(entries.size());
  std::memcpy(base, &count, sizeof count);
  char* offsets = base + kCountBytes;
  char* text = offsets + entries.size() * kEntryBytes;
  std::uint32_t end = 0;
  for (const auto& [key, value] : entries) {
    // An empty view may carry no pointer at all, which memcpy must not be given.
    if (!key.empty()) std::memcpy(text + end, key.data(), key.size());
    end += static_cast<std::uint32_t>(key.size());
    std::memcpy(offsets, &end, sizeof end);
    if (!value.empty()) std::memcpy(text + end, value.data(), value.size());
    end += static_cast<std::uint32_t>(value.size());
    std::memcpy(offsets + sizeof end, &end, sizeof end);
    offsets += kEntryBytes;
  }
}

std::size_t PropertyMap::size() const {
  if (data_.empty()) return 0;
  std::uint32_t count;
  std::memcpy(&count, data_.data(), sizeof count);
  return count;
}

std::uint32_t PropertyMap::end_at(std::size_t slot) const {
  std::uint32_t end;
  std::memcpy(&end, data_.data() + kCountBytes + slot * sizeof end, sizeof end);
  return end;
}

PropertyMap::value_type PropertyMap::entry(std::size_t index) const {
  const std::string_view text = std::string_view(data_).substr(kCountBytes + size() * kEntryBytes);
  const std::size_t key_begin = index == 0 ? 0 : end_at(2 * index - 1);
  const std::size_t key_end = end_at(2 * index);
  const std::size_t value_end = end_at(2 * index + 1);
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
  const std::size_t count = size();
  const std::size_t index = lower_bound(key);
  if (index < count && entry(index).first == key) return false;
  if (count + 1 > UINT32_MAX ||
      data_.size() + kEntryBytes + key.size() + value.size() > UINT32_MAX) {
    throw std::length_error("property map too large");
  }
  if (data_.empty()) data_.assign(kCountBytes, '\0');

  // The new key and value go into the text at their place (the text starts after the offsets,
  // which do not move yet), then the new entry's offsets go in before the text.
  const std::size_t text_start = kCountBytes + count * kEntryBytes;
  const std::uint32_t at = index == 0 ? 0 : end_at(2 * index - 1);
  data_.insert(text_start + at, key);
  data_.insert(text_start + at + key.size(), value);
  const auto key_end = static_cast<std::uint32_t>(at + key.size());
  const std::uint32_t offsets[2] = {key_end, static_cast<std::uint32_t>(key_end + value.size())};
  data_.insert(kCountBytes + index * kEntryBytes, reinterpret_cast<const char*>(offsets),
               kEntryBytes);

  // Entries after the new one end further on by its size.
  const auto grown = static_cast<std::uint32_t>(key.size() + value.size());
  for (std::size_t slot = 2 * (index + 1); slot < 2 * (count + 1); ++slot) {
    char* where = data_.data() + kCountBytes + slot * sizeof(std::uint32_t);
    std::uint32_t end;
    std::memcpy(&end, where, sizeof end);
    end += grown;
    std::memcpy(where, &end, sizeof end);
  }
  const auto new_count = static_cast<std::uint32_t>(count + 1);
  std::memcpy(data_.data(), &new_count, sizeof new_count);
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
