// The registry as the program holds it: one record per worksheet row, in feed order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>


namespace kolvo {

// An ordered map from column name to cell text, both UTF-8. Keys are unique and ordered as
// unsigned bytes, so "B" < "a" < "\xC3\xA9" and a prefix sorts first. A registry holds
// hundreds of thousands of these with a handful of entries each, so all of one map, text and
// index, lives in one buffer instead of two strings and a tree node per entry.
class PropertyMap {
 public:
  using value_type = std::pair<std::string_view, std::string_view>;

  class const_iterator {
   public:
    using value_type = PropertyMap::value_type;
    using difference_type = std::ptrdiff_t;
    const_iterator() = default;
    value_type operator*() const { return map_->entry(index_); }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++index_;
      return before;
    }
    bool operator==(const const_iterator&) const = default;

   private:
    friend class PropertyMap;
    const_iterator(const PropertyMap* map, std::size_t index) : map_(map), index_(index) {}
    const PropertyMap* map_ = nullptr;
    std::size_t index_ = 0;
  };

  PropertyMap() = default;
  // Entries in any order; of two equal keys the first is kept.
  PropertyMap(std::initializer_list<value_type> entries);

  // Replaces the contents with these entries, in any order; of two equal keys the first is
  // kept. Builds the map in one pass, where emplace inserts into the middle: the way to fill
  // a map whose entries are all known at once. Reorders `entries`.
  void assign(std::vector<value_type>& entries);

  // Adds the entry unless the key is present already (the first one wins). Returns whether it
  // was added.
  bool emplace(std::string_view key, std::string_view value);

  // The value of key; throws std::out_of_range when there is none.
  std::string_view at(std::string_view key) const;
  bool contains(std::string_view key) const;

  std::size_t size() const;
  bool empty() const { return data_.empty(); }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

  bool operator==(const PropertyMap&) const = default;

 private:
  static constexpr std::size_t kCountBytes = sizeof(std::uint32_t);
  static constexpr std::size_t kEntryBytes = 2 * sizeof(std::uint32_t);

  value_type entry(std::size_t index) const;
  // The index of the first key not less than key.
  std::size_t lower_bound(std::string_view key) const;
  std::uint32_t end_at(std::size_t slot) const;

  // One allocation per map, laid out as: the entry count n; then for each entry i, where its
  // key ends and where its value ends (offsets into the text); then the text: key 0, value 0,
  // key 1, value 1, ... in key order, back to back. All numbers are native uint32. Empty when
  // the map is.
  std::string data_;
};

// One registry row. Records are plain values: copied into the list and destroyed with it.
struct RegistryRecord {
  // The row's "serialnumber" cell, kept as UTF-16 until the moment it is written out.
  std::u16string serial_number;
  // Every other column.
  PropertyMap properties;

  bool operator==(const RegistryRecord&) const = default;
};

using RegistryRecordList = std::vector<RegistryRecord>;

}  // namespace kolvo
