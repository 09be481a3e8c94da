// Service-account JSON key files for the tests, made from the test PKI's account key (sa.key,
// whose certificate sa.pem the fake checks assertions with) in the shape the service hands out.
// Tests write them as they run: a good key names the token endpoint of a fake on any port.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

inline constexpr char kTestAccount[] = "registry-reader@registry-project.iam.gserviceaccount.com";
inline constexpr char kTestKeyId[] = "4f1c2b9a7e3d0c5b8a69f7e1d2c3b4a5968778ab";

inline std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) throw std::runtime_error("cannot read " + path);
  return text.str();
}

inline void write_text_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << text).flush()) throw std::runtime_error("cannot write " + path);
  // As a key file must be to be read at all.
  std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::owner_write);
}

// A JSON string literal of text whose only characters to escape are quotes, backslashes and
// line breaks, as in a PEM key.
inline std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out + "\"";
}

// Members of a key file, each name with its value as JSON text.
using JsonKeyMembers = std::vector<std::pair<std::string, std::string>>;

// The text of a good key of the test account for token_uri, with each of `changes` put in
// place of the member of its name, or added; a change to an empty value leaves the member out.
inline std::string json_key_text(const std::string& pki_dir, const std::string& token_uri,
                                 const JsonKeyMembers& changes = {}) {
  JsonKeyMembers members = {{"type", json_string("service_account")},
                            {"project_id", json_string("registry-project")},
                            {"private_key_id", json_string(kTestKeyId)},
                            {"private_key", json_string(read_text_file(pki_dir + "/sa.key"))},
                            {"client_email", json_string(kTestAccount)},
                            {"client_id", json_string("104620512361234567890")},
                            {"token_uri", json_string(token_uri)}};
  for (const auto& change : changes) {
    auto it = members.begin();
    while (it != members.end() && it->first != change.first) ++it;
    if (it == members.end()) it = members.insert(it, change);
    it->second = change.second;
  }
  std::string text = "{";
  for (const auto& [name, value] : members) {
    if (!value.empty())
      text += (text.size() > 1 ? ",\n  " : "\n  ") + json_string(name) + ": " + value;
  }
  return text + "\n}\n";
}

}  // namespace testing_support
