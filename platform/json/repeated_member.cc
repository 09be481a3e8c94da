#include "platform/json/repeated_member.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace kolvo {

bool has_repeated_member(simdjson::dom::element value) {
  // An explicit stack: the depth is the parser's to bound, not this function's call stack.
  std::vector<simdjson::dom::element> pending{value};
  std::vector<std::string_view> keys;
  while (!pending.empty()) {
    const simdjson::dom::element next = pending.back();
    pending.pop_back();
    simdjson::dom::array array;
    simdjson::dom::object object;
    if (next.get(array) == simdjson::SUCCESS) {
      for (simdjson::dom::element element : array) pending.push_back(element);
    } else if (next.get(object) == simdjson::SUCCESS) {
      keys.clear();
      for (const simdjson::dom::key_value_pair member : object) {
        keys.push_back(member.key);
        pending.push_back(member.value);
      }
      std::sort(keys.begin(), keys.end());
      if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) return true;
    }
  }
  return false;
}

}  // namespace kolvo
