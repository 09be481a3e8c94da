// The Windows build (registry-list.exe from the MinGW-w64 cross toolchain) run under Wine, in a
// scratch working directory, against the fake service on the Linux build's loopback port.
//
// Narrow text on Windows is in the ANSI code page of the running thread, which Wine takes from
// the locale it is started in: 1252 for en_US, 1251 for ru_RU, 932 for ja_JP. The same registry
// must come out as each code page holds it, with its default character "?" for what it cannot,
// never a look-alike; and in the order of the narrow names' bytes, which the code page decides.
//
// Wine takes the code page from the locale's name alone, so the machine needs none of these
// locales installed.
//
// The environment says where things are: REGISTRY_WINDOWS_BUILD the folder of the .exe files,
// REGISTRY_WINE Wine's 64-bit loader, WINEPREFIX a prefix made with wineboot, REGISTRY_WINE_LOG
// the file that Wine's own messages (and the program's standard error) go to. scripts/windows.sh
// sets them all.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "fake_service.h"
#include "feed_paths.h"
#include "fixed_port_fake.h"
#include "json_key_file.h"
#include "run_process.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Format;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::run_process;
using testing_support::Stage;

const std::string kPki = TEST_PKI_DIR;

std::string required_environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(std::string(name) +
                             " is not set: run the tests by scripts/windows.sh");
  }
  return value;
}

// Written as UTF-8, as the service sends it. Each character is there for a reason: "ü" and "€"
// are in 1252 but at other places or not at all in 1251 and 932; Cyrillic is in 1251 and 932 but
// not 1252; "東京" is in 932 only; "表" is 95 5C in 932, its second byte a backslash that the JSON
// listing must not escape, followed here by a real backslash that it must.
fake::Model code_page_registry() {
  return fake::Model{{fake::Spreadsheet{
      "Inventory",
      "inv",
      {fake::Worksheet{"Registry",
                       {"Serial Number", "Ort", "Имя", "Größe"},
                       {{"SN-Ø1", "Zürich", "Дом", "10 µm"}, {"SN-表", "東京", "表\\", "€ 5"}},
                       true}}}}};
}

struct CodePageCase {
  const char* name;
  const char* locale;  // what Wine is started with
  std::string plain;
  std::string json;
  friend void PrintTo(const CodePageCase& c, std::ostream* os) { *os << c.name; }
};

// Property names sort by their narrow bytes: "???" (Имя in 1252) before "gr", Cyrillic in 1251
// and 932 after "ort". Hex escapes are split where a letter that follows would extend them.
const std::vector<CodePageCase> kCodePageCases = {
    {"Cp1252", "en_US.UTF-8",
     "SN-\xD8"
     "1, ???, 10 \xB5m, Z\xFCrich\n"
     "SN-?, ?\\, \x80 5, ??\n"
     "[ OK ]\n",
     "[\n"
     "{\"serialnumber\":\"SN-\xD8"
     "1\",\"properties\":{\"???\":\"???\",\"gr\xF6\xDF"
     "e\":\"10 \xB5m\",\"ort\":\"Z\xFCrich\"}},\n"
     "{\"serialnumber\":\"SN-?\",\"properties\":{\"???\":\"?\\\\\",\"gr\xF6\xDF"
     "e\":\"\x80 5\",\"ort\":\"??\"}}\n"
     "]"},
    {"Cp1251", "ru_RU.UTF-8",
     "SN-?1, 10 \xB5m, Z?rich, \xC4\xEE\xEC\n"
     "SN-?, \x88 5, ??, ?\\\n"
     "[ OK ]\n",
     "[\n"
     "{\"serialnumber\":\"SN-?1\",\"properties\":{\"gr??e\":\"10 \xB5m\",\"ort\":\"Z?rich\","
     "\"\xE8\xEC\xFF\":\"\xC4\xEE\xEC\"}},\n"
     "{\"serialnumber\":\"SN-?\",\"properties\":{\"gr??e\":\"\x88 5\",\"ort\":\"??\","
     "\"\xE8\xEC\xFF\":\"?\\\\\"}}\n"
     "]"},
    {"Cp932", "ja_JP.UTF-8",
     "SN-?1, 10 ?m, Z?rich, \x84\x44\x84\x80\x84\x7D\n"
     "SN-\x95\x5C, ? 5, \x93\x8C\x8B\x9E, \x95\x5C\\\n"
     "[ OK ]\n",
     "[\n"
     "{\"serialnumber\":\"SN-?1\",\"properties\":{\"gr??e\":\"10 ?m\",\"ort\":\"Z?rich\","
     "\"\x84\x79\x84\x7D\x84\x91\":\"\x84\x44\x84\x80\x84\x7D\"}},\n"
     "{\"serialnumber\":\"SN-\x95\x5C\",\"properties\":{\"gr??e\":\"? 5\","
     "\"ort\":\"\x93\x8C\x8B\x9E\",\"\x84\x79\x84\x7D\x84\x91\":\"\x95\x5C\\\\\"}}\n"
     "]"},
};

fake::FakeService& service_for(Format format) {
  return testing_support::fixed_port_fake(format, kPki, TEST_PORT);
}

class WineProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("registry-list-wine-" + std::to_string(getpid()) + "-" + std::to_string(++runs_));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
    fs::copy_file(kPki + "/sa-legacy.p12", directory_ / CERTIFICATE_FILE);
  }
  void TearDown() override { fs::remove_all(directory_); }

  static std::string build(const std::string& name) {
    return (fs::path(required_environment("REGISTRY_WINDOWS_BUILD")) / (name + ".exe")).string();
  }
  static std::string build(Format format) {
    return build(format == Format::gdata ? "registry-list-loopback" : "registry-list-loopback-v4");
  }

  // Runs one program under Wine's 64-bit loader in the scratch directory. Wine's messages and the
  // program's standard error go to the log, never into what is compared.
  ProcessResult run(const std::string& program, std::vector<std::string> args,
                    const std::string& locale = "en_US.UTF-8",
                    std::vector<std::string> environment = {}) {
    args.insert(args.begin(), {required_environment("REGISTRY_WINE"), program});
    ProcessOptions options;
    options.working_directory = directory_.string();
    options.timeout = std::chrono::seconds(60);
    options.environment = {"LC_ALL=" + locale, "WINEDEBUG=-all"};
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    ProcessResult result = run_process(args, options);
    std::ofstream log(required_environment("REGISTRY_WINE_LOG"), std::ios::app);
    log << "--- " << program << " (" << locale << ", " << args.size() - 2 << " arguments)\n"
        << result.err;
    return result;
  }

  fs::path directory_;
  static inline int runs_ = 0;
};

class CodePageTest : public WineProgramTest,
                     public testing::WithParamInterface<std::tuple<Format, CodePageCase>> {};

TEST_P(CodePageTest, RegistryComesOutAsTheCodePageHoldsIt) {
  const auto& [format, c] = GetParam();
  service_for(format).set_scenario({code_page_registry(), {}});
  const ProcessResult listing = run(build(format), {}, c.locale);
  EXPECT_EQ(listing.out, c.plain);
  EXPECT_EQ(listing.exit_status, 0);
  const ProcessResult json = run(build(format), {"--json"}, c.locale);
  EXPECT_EQ(json.out, c.json);
  EXPECT_EQ(json.exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(Wine, CodePageTest,
                         testing::Combine(testing::Values(Format::gdata, Format::sheets_v4),
                                          testing::ValuesIn(kCodePageCases)),
                         [](const testing::TestParamInfo<std::tuple<Format, CodePageCase>>& info) {
                           return testing_support::format_name(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param).name;
                         });

class WineFormatTest : public WineProgramTest, public testing::WithParamInterface<Format> {};

// A request the service refuses, at each step: the listing says only "[Fail]" and succeeds,
// the JSON listing is an empty array and the status 1.
TEST_P(WineFormatTest, AFailureGivesTheFailureOutputAndStatus) {
  const Format format = GetParam();
  for (const Stage stage : {Stage::token, Stage::spreadsheets, Stage::list}) {
    SCOPED_TRACE(testing_support::path_of(format, stage));
    fake::Scenario scenario{code_page_registry(), {}};
    scenario.overrides[testing_support::path_of(format, stage)] = {503, "text/plain", "busy"};
    service_for(format).set_scenario(scenario);
    const ProcessResult listing = run(build(format), {});
    EXPECT_EQ(listing.out, "[Fail]\n");
    EXPECT_EQ(listing.exit_status, 0);
    const ProcessResult json = run(build(format), {"--json"});
    EXPECT_EQ(json.out, "[\n]");
    EXPECT_EQ(json.exit_status, 1);
  }
}

// The key file is looked for by its bare name in the working directory, and only there; a JSON
// key signs in as well as a PKCS#12 file.
TEST_P(WineFormatTest, TheKeyFileIsTheOneInTheWorkingDirectory) {
  const Format format = GetParam();
  service_for(format).set_scenario({code_page_registry(), {}});
  fs::remove(directory_ / CERTIFICATE_FILE);
  EXPECT_EQ(run(build(format), {}).out, "[Fail]\n");
  testing_support::write_text_file(
      (directory_ / JSON_CERTIFICATE_FILE).string(),
      testing_support::json_key_text(kPki,
                                     "https://127.0.0.1:" + std::to_string(TEST_PORT) + "/token"));
  const std::string json_build =
      format == Format::gdata ? "registry-list-loopback-json" : "registry-list-loopback-v4-json";
  EXPECT_EQ(run(build(json_build), {}).out, kCodePageCases[0].plain);
}

// SSLKEYLOGFILE would make libcurl write the TLS session keys, with which the token and the
// registry can be read off the wire. The program clears it on Windows as on Linux.
TEST_P(WineFormatTest, SessionKeysAreNeverWritten) {
  const Format format = GetParam();
  service_for(format).set_scenario({code_page_registry(), {}});
  const fs::path key_log = directory_ / "session-keys";
  const ProcessResult listing =
      run(build(format), {}, "en_US.UTF-8", {"SSLKEYLOGFILE=" + key_log.string()});
  EXPECT_EQ(listing.out, kCodePageCases[0].plain);
  EXPECT_FALSE(fs::exists(key_log));
}

INSTANTIATE_TEST_SUITE_P(Wine, WineFormatTest, testing::Values(Format::gdata, Format::sheets_v4),
                         [](const testing::TestParamInfo<Format>& info) {
                           return testing_support::format_name(info.param);
                         });

}  // namespace
