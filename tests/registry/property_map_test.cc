#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "registry/registry_record.h"

namespace kolvo {
namespace {

std::vector<std::pair<std::string, std::string>> entries(const PropertyMap& map) {
  std::vector<std::pair<std::string, std::string>> all;
  for (const auto& [key, value] : map) all.emplace_back(key, value);
  return all;
}

TEST(PropertyMapTest, KeepsKeysInUnsignedByteOrderWhateverTheInsertionOrder) {
  PropertyMap map;
  // "a\xFF" sorts after "ab" only if bytes compare unsigned.
  for (const char* key : {"b", "\xC3\xA9", "", "ab", "a", "Z", "a\xFF"}) {
    EXPECT_TRUE(map.emplace(key, std::string("v-") + key));
  }
  using Entries = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(entries(map), (Entries{{"", "v-"},
                                   {"Z", "v-Z"},
                                   {"a", "v-a"},
                                   {"ab", "v-ab"},
                                   {"a\xFF", "v-a\xFF"},
                                   {"b", "v-b"},
                                   {"\xC3\xA9", "v-\xC3\xA9"}}));
  EXPECT_EQ(map.size(), 7u);
}

TEST(PropertyMapTest, FirstOfEqualKeysWins) {
  PropertyMap map{{"k", "one"}, {"j", "x"}, {"k", "two"}};
  EXPECT_FALSE(map.emplace("k", "three"));
  EXPECT_EQ(map.at("k"), "one");
  EXPECT_EQ(map.size(), 2u);
}

TEST(PropertyMapTest, ValuesMayBeEmptyOrHoldAnyBytes) {
  const std::string binary("a\0b\n\"", 5);
  PropertyMap map{{"empty", ""}, {"binary", binary}};
  EXPECT_EQ(map.at("empty"), "");
  EXPECT_EQ(map.at("binary"), binary);
  EXPECT_TRUE(map.contains("empty"));
  EXPECT_FALSE(map.contains("emp"));
  EXPECT_THROW(map.at("missing"), std::out_of_range);
}

TEST(PropertyMapTest, EqualityIgnoresInsertionOrder) {
  EXPECT_EQ((PropertyMap{{"a", "1"}, {"b", "2"}}), (PropertyMap{{"b", "2"}, {"a", "1"}}));
  EXPECT_NE((PropertyMap{{"a", "1"}, {"b", "2"}}), (PropertyMap{{"a", "12"}, {"b", ""}}));
  EXPECT_NE((PropertyMap{{"a", "1"}}), (PropertyMap{{"a1", ""}}));
  EXPECT_TRUE(PropertyMap{}.empty());
}

// Every insertion order of keys and values of different lengths (empty ones too) gives the
// entries std::map would hold under unsigned byte order, and maps equal to each other.
TEST(PropertyMapTest, AgreesWithAnOrderedMapForEveryInsertionOrder) {
  struct Unsigned {
    bool operator()(const std::string& a, const std::string& b) const {
      return std::lexicographical_compare(
          a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
          });
    }
  };
  std::vector<std::pair<std::string, std::string>> pairs = {{"name", "Drill \"XL\""},
                                                            {"", "empty key"},
                                                            {"location", ""},
                                                            {"n", std::string(300, 'x')},
                                                            {"\xC3\xA9t\xC3\xA9", "\xE6\x9D\xB1"},
                                                            {"notes", "a, b"}};
  std::sort(pairs.begin(), pairs.end());
  const PropertyMap* first = nullptr;
  std::vector<PropertyMap> maps;
  maps.reserve(720);
  do {
    PropertyMap& map = maps.emplace_back();
    std::map<std::string, std::string, Unsigned> expected;
    for (const auto& [key, value] : pairs) {
      EXPECT_TRUE(map.emplace(key, value));
      expected.emplace(key, value);
    }
    ASSERT_EQ(entries(map),
              (std::vector<std::pair<std::string, std::string>>(expected.begin(), expected.end())));
    for (const auto& [key, value] : pairs) EXPECT_EQ(map.at(key), value);
    if (first == nullptr) first = &maps.front();
    EXPECT_EQ(map, *first);
  } while (std::next_permutation(pairs.begin(), pairs.end()));
  EXPECT_EQ(maps.size(), 720u);
}

}  // namespace
}  // namespace kolvo
