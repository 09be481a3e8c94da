// The built program, run as a process in a scratch working directory against the fake
// service on the loopback port it was built for.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "connect_proxy.h"
#include "fake_service.h"
#include "feed_paths.h"
#include "fixed_port_fake.h"
#include "json_key_file.h"
#include "run_process.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::run_process;

const std::string kPki = TEST_PKI_DIR;

fake::Model sample_registry() {
  return fake::Model{{fake::Spreadsheet{
      "Inventory",
      "inv",
      {fake::Worksheet{"Registry",
                       {"Serial Number", "Name", "Location"},
                       {{"SN\\0042", "Drill \"XL\"", "Z\xC3\xBCrich, Hall 2"},
                        {"SN-0043", "Pump & <Valve>", "\xE6\x9D\xB1\xE4\xBA\xAC"}},
                       true}}}}};
}

constexpr char kSamplePlain[] =
    "SN\\0042, Z\xC3\xBCrich, Hall 2, Drill \"XL\"\n"
    "SN-0043, \xE6\x9D\xB1\xE4\xBA\xAC, Pump & <Valve>\n"
    "[ OK ]\n";

constexpr char kSampleJson[] =
    "[\n"
    "{\"serialnumber\":\"SN\\\\0042\",\"properties\":{\"location\":\"Z\xC3\xBCrich, Hall 2\","
    "\"name\":\"Drill \\\"XL\\\"\"}},\n"
    "{\"serialnumber\":\"SN-0043\",\"properties\":{\"location\":\"\xE6\x9D\xB1\xE4\xBA\xAC\","
    "\"name\":\"Pump & <Valve>\"}}\n"
    "]";

using testing_support::Format;
using testing_support::Stage;

fake::FakeService& service_for(Format format) {
  return testing_support::fixed_port_fake(format, kPki, TEST_PORT);
}

// Runs the build configured for one wire format, in a scratch working directory holding the
// key file, against the fake speaking that format.
class ProgramFixture : public testing::Test {
 protected:
  virtual Format format() const = 0;

  void SetUp() override {
    service().clear_requests();
    service().set_scenario({sample_registry(), {}});
    directory_ = fs::temp_directory_path() /
                 ("registry-list-test-" + std::to_string(getpid()) + "-" +
                  std::to_string(testing::UnitTest::GetInstance()->random_seed()) + "-" +
                  std::to_string(++run_counter_));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
    fs::copy_file(kPki + "/sa-legacy.p12", directory_ / CERTIFICATE_FILE);
  }
  void TearDown() override { fs::remove_all(directory_); }

  fake::FakeService& service() const { return service_for(format()); }
  virtual const char* build() const {
    return format() == Format::gdata ? LOOPBACK_BUILD : LOOPBACK_V4_BUILD;
  }

  ProcessResult run(std::vector<std::string> args, ProcessOptions options = {}) {
    args.insert(args.begin(), build());
    if (options.working_directory.empty()) options.working_directory = directory_.string();
    options.timeout = std::chrono::seconds(60);
    return run_process(args, options);
  }

  fs::path directory_;
  static inline int run_counter_ = 0;
};

class RegistryListTest : public ProgramFixture, public testing::WithParamInterface<Format> {
 protected:
  Format format() const override { return GetParam(); }
};

TEST_P(RegistryListTest, ListingModePrintsEachRowThenOk) {
  const ProcessResult result = run({});
  EXPECT_EQ(result.out, kSamplePlain);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
}

TEST_P(RegistryListTest, AnyArgumentSelectsJsonModeWithoutBeingInterpreted) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--json"}, {"--help"}, {"-h", "extra"}, {""}}) {
    const ProcessResult result = run(args);
    EXPECT_EQ(result.out, kSampleJson) << args[0];
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
  }
}

TEST_P(RegistryListTest, EmptyRegistryPrintsOnlyTheStatusLineOrAnEmptyArray) {
  service().set_scenario(
      {fake::Model{{fake::Spreadsheet{
           "Inventory", "inv", {fake::Worksheet{"Registry", {"Serial Number"}, {}, true}}}}},
       {}});
  const ProcessResult listing = run({});
  EXPECT_EQ(listing.out, "[ OK ]\n");
  EXPECT_EQ(listing.exit_status, 0);
  const ProcessResult json = run({"json"});
  EXPECT_EQ(json.out, "[\n]");
  EXPECT_EQ(json.exit_status, 0);
}

// A column whose header gives no name, and a cell beyond the header, are printed under their
// positional names like any other column, in both output forms: no value is lost.
TEST_P(RegistryListTest, BlankHeadedColumnsArePrintedUnderTheirPositionalNames) {
  service().set_scenario(
      {fake::Model{{fake::Spreadsheet{
           "Inventory",
           "inv",
           {fake::Worksheet{"Registry",
                            {"Serial Number", "Name", "", "!!"},
                            {{"SN-1", "Drill", "spare", "x", "beyond"}, {"SN-2", "Pump"}},
                            true}}}}},
       {}});
  const ProcessResult listing = run({});
  EXPECT_EQ(listing.out,
            "SN-1, beyond, spare, x, Drill\n"
            "SN-2, , , Pump\n"
            "[ OK ]\n");
  EXPECT_EQ(listing.exit_status, 0);
  const ProcessResult json = run({"json"});
  EXPECT_EQ(json.out,
            "[\n"
            "{\"serialnumber\":\"SN-1\",\"properties\":{\"_chk2m\":\"beyond\",\"_cpzh4\":\"spare\","
            "\"_cre1l\":\"x\",\"name\":\"Drill\"}},\n"
            "{\"serialnumber\":\"SN-2\",\"properties\":{\"_cpzh4\":\"\",\"_cre1l\":\"\","
            "\"name\":\"Pump\"}}\n"
            "]");
  EXPECT_EQ(json.exit_status, 0);
}

struct FailureCase {
  const char* name;
  Stage stage;  // the request that is answered badly
  fake::CannedResponse response;
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class RegistryListFailureTest
    : public ProgramFixture,
      public testing::WithParamInterface<std::tuple<Format, FailureCase>> {
 protected:
  Format format() const override { return std::get<0>(GetParam()); }
};

TEST_P(RegistryListFailureTest, ListingPrintsOnlyFailAndJsonAnEmptyArrayWithStatusOne) {
  const FailureCase& failure = std::get<1>(GetParam());
  fake::Scenario scenario{sample_registry(), {}};
  scenario.overrides[testing_support::path_of(format(), failure.stage)] = failure.response;
  service().set_scenario(scenario);
  const ProcessResult listing = run({});
  EXPECT_EQ(listing.out, "[Fail]\n");
  EXPECT_EQ(listing.err, "");
  EXPECT_EQ(listing.exit_status, 0);
  const ProcessResult json = run({"--json"});
  EXPECT_EQ(json.out, "[\n]");
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(json.exit_status, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RegistryListFailureTest,
    testing::Combine(
        testing::Values(Format::gdata, Format::sheets_v4),
        testing::Values(
            FailureCase{"TokenRefused",
                        Stage::token,
                        {400, "application/json", R"({"error":"invalid_grant"})"}},
            FailureCase{"ServiceUnavailable", Stage::spreadsheets, {503, "text/plain", "busy"}},
            FailureCase{
                "WorksheetsNotFound",
                Stage::worksheets,
                {404, "application/json", R"({"error":{"code":404,"status":"NOT_FOUND"}})"}},
            FailureCase{"TruncatedList",
                        Stage::list,
                        {200, "application/octet-stream",
                         "<feed xmlns=\"http://www.w3.org/2005/Atom\"><entry>{\"values\":["}})),
    [](const testing::TestParamInfo<std::tuple<Format, FailureCase>>& info) {
      return testing_support::format_name(std::get<0>(info.param)) + "_" +
             std::get<1>(info.param).name;
    });

// Builds with the failure cause turned on say, on standard error, which step failed and why,
// in one line that carries no secret.
struct CauseCase {
  const char* name;
  Stage stage;  // answered with the response below; Stage::token with status 0: no key file
  fake::CannedResponse response;
  std::string expected_stderr;
  friend void PrintTo(const CauseCase& c, std::ostream* os) { *os << c.name; }
};

class FailureCauseTest : public ProgramFixture,
                         public testing::WithParamInterface<std::tuple<Format, CauseCase>> {
 protected:
  Format format() const override { return std::get<0>(GetParam()); }
};

TEST_P(FailureCauseTest, NamesTheStepAndTheCauseOnStandardErrorOnly) {
  const CauseCase& c = std::get<1>(GetParam());
  fake::Scenario scenario{sample_registry(), {}};
  if (c.response.status == 0) {
    fs::remove(directory_ / CERTIFICATE_FILE);
  } else {
    scenario.overrides[testing_support::path_of(format(), c.stage)] = c.response;
  }
  service().set_scenario(scenario);
  const char* program = format() == Format::gdata ? LOOPBACK_CAUSE_BUILD : LOOPBACK_V4_CAUSE_BUILD;
  ProcessOptions options;
  options.working_directory = directory_.string();
  options.timeout = std::chrono::seconds(60);
  const ProcessResult listing = run_process({program}, options);
  EXPECT_EQ(listing.out, "[Fail]\n");
  EXPECT_EQ(listing.exit_status, 0);
  EXPECT_EQ(listing.err.rfind(c.expected_stderr, 0), 0u) << listing.err;
  EXPECT_EQ(std::count(listing.err.begin(), listing.err.end(), '\n'), 1) << listing.err;
  const ProcessResult json = run_process({program, "--json"}, options);
  EXPECT_EQ(json.out, "[\n]");
  EXPECT_EQ(json.exit_status, 1);
  EXPECT_EQ(json.err, listing.err);
  // No secret: not the password, nor a token, nor the assertion the token request carried.
  EXPECT_EQ(listing.err.find("notasecret"), std::string::npos);
  for (const std::string& token : service().issued_tokens()) {
    if (!token.empty()) {
      EXPECT_EQ(listing.err.find(token), std::string::npos);
    }
  }
  for (const auto& request : service().requests()) {
    if (request.path == "/token") {
      const std::size_t at = request.body.find("assertion=");
      ASSERT_NE(at, std::string::npos);
      EXPECT_EQ(listing.err.find(request.body.substr(at + 10, 40)), std::string::npos);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Causes, FailureCauseTest,
    testing::Combine(
        testing::Values(Format::gdata, Format::sheets_v4),
        testing::Values(CauseCase{"NoKeyFile",
                                  Stage::token,
                                  {0, "", ""},
                                  "registry-list: certificate: cannot open the key file"},
                        CauseCase{"TokenRefused",
                                  Stage::token,
                                  {400, "application/json",
                                   R"({"error":"invalid_grant","error_description":"x"})"},
                                  "registry-list: token request: HTTP 400 invalid_grant\n"},
                        CauseCase{"TokenEmpty",
                                  Stage::token,
                                  {200, "application/json", R"({"access_token":""})"},
                                  "registry-list: token request: access_token is empty\n"},
                        CauseCase{"SpreadsheetsUnavailable",
                                  Stage::spreadsheets,
                                  {503, "text/plain", "busy"},
                                  "registry-list: spreadsheets query: HTTP 503\n"},
                        CauseCase{"WorksheetsForbidden",
                                  Stage::worksheets,
                                  {403, "text/plain", "no"},
                                  "registry-list: worksheets query: HTTP 403\n"},
                        CauseCase{"ListNotFound",
                                  Stage::list,
                                  {404, "text/plain", "gone"},
                                  "registry-list: list query: HTTP 404\n"},
                        CauseCase{"ListMalformed",
                                  Stage::list,
                                  {200, "text/plain", "<x>\x1b[2J\n"},
                                  "registry-list: list query: "})),
    [](const testing::TestParamInfo<std::tuple<Format, CauseCase>>& info) {
      return testing_support::format_name(std::get<0>(info.param)) + "_" +
             std::get<1>(info.param).name;
    });

TEST_P(RegistryListTest, NoSpreadsheetWithTheTitleIsNamedAsTheCause) {
  service().set_scenario({fake::Model{}, {}});
  const char* program =
      GetParam() == Format::gdata ? LOOPBACK_CAUSE_BUILD : LOOPBACK_V4_CAUSE_BUILD;
  ProcessOptions options;
  options.working_directory = directory_.string();
  const ProcessResult result = run_process({program}, options);
  EXPECT_EQ(result.out, "[Fail]\n");
  EXPECT_EQ(result.err,
            "registry-list: spreadsheet search: no spreadsheet titled \"Inventory\" is shared "
            "with registry-reader@registry-project.iam.gserviceaccount.com: share it with that "
            "address (Viewer is enough)\n");
}

TEST_P(RegistryListTest, MissingKeyFileFailsWithoutContactingTheService) {
  fs::remove(directory_ / CERTIFICATE_FILE);
  const ProcessResult result = run({});
  EXPECT_EQ(result.out, "[Fail]\n");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(service().requests().empty());
}

TEST_P(RegistryListTest, KeyFileIsReadFromTheWorkingDirectoryOnly) {
  const fs::path nested = directory_ / "elsewhere";
  fs::create_directories(nested);
  ProcessOptions options;
  options.working_directory = nested.string();
  EXPECT_EQ(run({}, options).out, "[Fail]\n");
  EXPECT_TRUE(service().requests().empty());
}

TEST_P(RegistryListTest, UnwritableOutputIsReportedByTheExitStatus) {
  ProcessOptions to_full;
  to_full.stdout_path = "/dev/full";
  EXPECT_EQ(run({}, to_full).exit_status, 1);
  EXPECT_EQ(run({"--json"}, to_full).exit_status, 1);
}

TEST_P(RegistryListTest, ServiceThatIsNotListeningGivesFail) {
  service().stop();
  const ProcessResult listing = run({});
  const ProcessResult json = run({"--json"});
  service().start();
  EXPECT_EQ(listing.out, "[Fail]\n");
  EXPECT_EQ(listing.exit_status, 0);
  EXPECT_EQ(json.out, "[\n]");
  EXPECT_EQ(json.exit_status, 1);
}

// The shipped build points at the real service. Run it where no network exists at all, a
// fresh network namespace, so that nothing can leave this machine.
TEST(DefaultBuildTest, WithNoReachableServicePrintsFail) {
  const fs::path directory =
      fs::temp_directory_path() / ("registry-list-default-" + std::to_string(getpid()));
  fs::create_directories(directory);
  fs::copy_file(kPki + "/sa-legacy.p12", directory / CERTIFICATE_FILE,
                fs::copy_options::overwrite_existing);
  ProcessOptions isolated;
  isolated.wrapper = {"unshare", "--net", "--map-root-user"};
  isolated.working_directory = directory.string();
  isolated.timeout = std::chrono::seconds(60);
  const ProcessResult probe = run_process({"true"}, isolated);
  if (probe.exit_status != 0) {
    fs::remove_all(directory);
    GTEST_SKIP() << "cannot make a network namespace here";
  }
  const ProcessResult result = run_process({DEFAULT_BUILD}, isolated);
  fs::remove_all(directory);
  EXPECT_EQ(result.out, "[Fail]\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
}

// The program never sets a locale of its own, so the caller's cannot change a byte of what it
// prints: not in the C locale of a fresh machine or cron, not under UTF-8, not under Latin-1.
// Written as UTF-8 in the source, as the service sends it.
fake::Model non_ascii_registry() {
  return fake::Model{{fake::Spreadsheet{
      "Inventory",
      "inv",
      {fake::Worksheet{"Registry",
                       {"Serial Number", "Größe", "Ort", "Имя"},
                       {{"SN-Ø1", "10 µm", "Zürich", "Насос"}, {"SN-📦", "€ 5", "東京", ""}},
                       true}}}}};
}

// Property names in byte order: "größe", "ort", then the Cyrillic "имя".
constexpr char kNonAsciiPlain[] =
    "SN-Ø1, 10 µm, Zürich, Насос\n"
    "SN-📦, € 5, 東京, \n"
    "[ OK ]\n";

constexpr char kNonAsciiJson[] =
    "[\n"
    "{\"serialnumber\":\"SN-Ø1\",\"properties\":{\"größe\":\"10 µm\",\"ort\":\"Zürich\","
    "\"имя\":\"Насос\"}},\n"
    "{\"serialnumber\":\"SN-📦\",\"properties\":{\"größe\":\"€ 5\",\"ort\":\"東京\","
    "\"имя\":\"\"}}\n"
    "]";

// The locales to run under, as environments: C, C.UTF-8 and, where the machine has the locale
// definitions to compile it from, a Latin-1 locale made in a scratch folder.
std::vector<std::vector<std::string>> locale_environments(const fs::path& scratch) {
  std::vector<std::vector<std::string>> environments = {
      {"LC_ALL=C"}, {"LC_ALL=C.UTF-8"}, {"LANG=C.UTF-8", "LC_ALL="}};
  const fs::path latin1 = scratch / "de_DE.ISO-8859-1";
  if (fs::exists("/usr/share/i18n/locales/de_DE") &&
      run_process({"localedef", "-i", "de_DE", "-f", "ISO-8859-1", latin1.string()}, {})
              .exit_status == 0) {
    const std::vector<std::string> environment = {"LOCPATH=" + scratch.string(),
                                                  "LC_ALL=de_DE.ISO-8859-1"};
    ProcessOptions check;
    check.environment = environment;
    // Only a locale the C library really loads proves anything.
    EXPECT_EQ(run_process({"locale", "charmap"}, check).out, "ISO-8859-1\n");
    environments.push_back(environment);
  } else {
    ADD_FAILURE() << "no Latin-1 locale could be made: scripts/setup.sh installs `locales`";
  }
  return environments;
}

TEST_P(RegistryListTest, OutputIsTheSameBytesInEveryLocale) {
  service().set_scenario({non_ascii_registry(), {}});
  const fs::path scratch = directory_ / "locales";
  fs::create_directories(scratch);
  for (const std::vector<std::string>& environment : locale_environments(scratch)) {
    ProcessOptions options;
    options.environment = environment;
    const ProcessResult listing = run({}, options);
    EXPECT_EQ(listing.out, kNonAsciiPlain) << environment.back();
    EXPECT_EQ(listing.err, "");
    const ProcessResult json = run({"--json"}, options);
    EXPECT_EQ(json.out, kNonAsciiJson) << environment.back();
    EXPECT_EQ(json.exit_status, 0);
  }
}

// A reader that goes away (`registry-list | head -n 1`) ends the program by SIGPIPE, as it
// ends any filter; a program started with SIGPIPE ignored sees the write fail and exits 1.
// Neither says anything on standard error.
TEST_P(RegistryListTest, ClosedOutputPipeEndsBySigpipeOrWithStatusOne) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--json"}}) {
    ProcessOptions gone;
    gone.stdout_reader_gone = true;
    const ProcessResult killed = run(args, gone);
    EXPECT_EQ(killed.signal, SIGPIPE) << args.size();
    EXPECT_EQ(killed.err, "");
    gone.ignore_sigpipe = true;
    const ProcessResult refused = run(args, gone);
    EXPECT_EQ(refused.signal, 0);
    EXPECT_EQ(refused.exit_status, 1) << args.size();
    EXPECT_EQ(refused.err, "");
  }
}

// The program reads no environment, but libraries may. None of them may write to standard
// error, which stays silent unless the build asks for the failure cause, and none may write the
// TLS session keys (SSLKEYLOGFILE), which would decrypt the token.
TEST_P(RegistryListTest, LibraryVariablesNeitherWriteToStandardErrorNorLeakSessionKeys) {
  const fs::path key_log = directory_ / "session-keys";
  ProcessOptions options;
  options.environment = {"MIMALLOC_VERBOSE=1", "MIMALLOC_SHOW_STATS=1", "MIMALLOC_SHOW_ERRORS=1",
                         "MALLOC_CHECK_=3", "SSLKEYLOGFILE=" + key_log.string()};
  const ProcessResult listing = run({}, options);
  EXPECT_EQ(listing.out, kSamplePlain);
  EXPECT_EQ(listing.err, "");
  const ProcessResult json = run({"--json"}, options);
  EXPECT_EQ(json.out, kSampleJson);
  EXPECT_EQ(json.err, "");
  EXPECT_FALSE(fs::exists(key_log));
}

// Behind an HTTPS proxy (https_proxy, honoured by libcurl) every request goes through one
// CONNECT tunnel to the service, and the proxy sees the service's address and TLS records only:
// neither the token nor the signed assertion nor a row ever crosses it in the clear.
TEST_P(RegistryListTest, ThroughAnHttpsProxyTheTokenStaysInsideTheTunnel) {
  testing_support::ConnectProxy proxy;
  ProcessOptions options;
  options.environment = {"https_proxy=http://127.0.0.1:" + std::to_string(proxy.port()),
                         "no_proxy=", "NO_PROXY="};
  const ProcessResult result = run({}, options);
  EXPECT_EQ(result.out, kSamplePlain);
  const std::vector<std::string> heads = proxy.heads();
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(heads[0].rfind("CONNECT 127.0.0.1:" + std::to_string(TEST_PORT) + " HTTP/1.1\r\n", 0),
            0u)
      << heads[0];
  EXPECT_EQ(heads[0].find("Authorization"), std::string::npos);
  const std::string tunnelled = proxy.tunnelled();
  EXPECT_GT(tunnelled.size(), 1000u);
  for (const char* clear : {"Bearer", "assertion=", "GET /", "POST /", "Drill"}) {
    EXPECT_EQ(tunnelled.find(clear), std::string::npos) << clear;
  }
  for (const std::string& token : service().issued_tokens()) {
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(tunnelled.find(token), std::string::npos);
  }
}

// Memory that runs out while the registry is read is a failure like any other: the program
// prints the failure output instead of ending by a signal. The build used here fails every
// allocation from the Nth on.
fake::Model long_registry(std::size_t rows) {
  fake::Worksheet registry{"Registry", {"Serial Number", "Name", "Location"}, {}, true};
  for (std::size_t i = 0; i < rows; ++i) {
    registry.rows.push_back({"SN-" + std::to_string(100000 + i), "Spare part", "Store room"});
  }
  return fake::Model{{fake::Spreadsheet{"Inventory", "inv", {registry}}}};
}

TEST_P(RegistryListTest, AllocationFailureGivesTheFailureOutput) {
  constexpr std::size_t kRows = 3000;
  service().set_scenario({long_registry(kRows), {}});
  const char* program =
      GetParam() == Format::gdata ? ALLOCATION_FAULT_BUILD : ALLOCATION_FAULT_V4_BUILD;
  ProcessOptions options;
  options.working_directory = directory_.string();
  // Without a failure asked for, the build prints the whole registry.
  const ProcessResult whole = run_process({program}, options);
  EXPECT_EQ(std::count(whole.out.begin(), whole.out.end(), '\n'), kRows + 1);
  EXPECT_TRUE(whole.out.ends_with("SN-" + std::to_string(100000 + kRows - 1) +
                                  ", Store room, Spare part\n[ OK ]\n"));
  // From the rows on: earlier, simdjson's first use would meet the failure where it cannot
  // report one, and end the process whatever the program does.
  for (const char* after : {"300", "600", "1200", "2400"}) {
    options.environment = {std::string("REGISTRY_TEST_FAIL_ALLOCATION_AFTER=") + after};
    const ProcessResult listing = run_process({program}, options);
    EXPECT_EQ(listing.signal, 0) << after;
    EXPECT_EQ(listing.out, "[Fail]\n") << after;
    EXPECT_EQ(listing.exit_status, 0) << after;
    EXPECT_EQ(listing.err, "");
    const ProcessResult json = run_process({program, "--json"}, options);
    EXPECT_EQ(json.signal, 0) << after;
    EXPECT_EQ(json.out, "[\n]") << after;
    EXPECT_EQ(json.exit_status, 1) << after;
  }
}

// Memory running out while the JSON listing is written, after the registry was read, ends the
// run with status 1 and a cut document, never by a signal. The first allocation that falls
// after the retrieval is found by bisection: below it the retrieval fails ("[\n]").
TEST_P(RegistryListTest, AllocationFailureWhileWritingJsonEndsWithStatusOne) {
  service().set_scenario({long_registry(3000), {}});
  ProcessOptions options;
  options.working_directory = directory_.string();
  const char* program =
      GetParam() == Format::gdata ? ALLOCATION_FAULT_BUILD : ALLOCATION_FAULT_V4_BUILD;
  auto run_failing_after = [&](long after) {
    options.environment = {"REGISTRY_TEST_FAIL_ALLOCATION_AFTER=" + std::to_string(after)};
    return run_process({program, "--json"}, options);
  };
  long retrieval_fails = 0, retrieval_passes = 1L << 22;
  while (retrieval_passes - retrieval_fails > 1) {
    const long middle = (retrieval_fails + retrieval_passes) / 2;
    (run_failing_after(middle).out == "[\n]" ? retrieval_fails : retrieval_passes) = middle;
  }
  for (const long after : {retrieval_passes, retrieval_passes + 1000}) {
    const ProcessResult json = run_failing_after(after);
    EXPECT_EQ(json.signal, 0) << after;
    EXPECT_EQ(json.exit_status, 1) << after;
    EXPECT_EQ(json.err, "") << after;
    EXPECT_TRUE(json.out.starts_with("[\n") && !json.out.ends_with("]")) << after;
  }
}

// A cell cannot drive the terminal it is printed on: there each control character shows as
// "?", while a pipe gets the bytes as they stand.
TEST_P(RegistryListTest, ControlCharactersReachATerminalOnlyAsMarks) {
  if (GetParam() != Format::sheets_v4) GTEST_SKIP() << "an Atom feed cannot carry these";
  fake::Worksheet registry{"Registry", {"Serial Number", "Notes"}, {}, true};
  registry.rows.push_back({"SN\x1b]0;x\x07", "a\n[ OK ]\x7f\xC2\x9B" "2J\tb\xC2\xA0"});
  service().set_scenario({fake::Model{{fake::Spreadsheet{"Inventory", "inv", {registry}}}}, {}});
  ProcessOptions terminal;
  terminal.stdout_terminal = true;
  EXPECT_EQ(run({}, terminal).out, "SN?]0;x?, a?[ OK ]??2J?b\xC2\xA0\n[ OK ]\n");
  EXPECT_EQ(run({}).out, "SN\x1b]0;x\x07, a\n[ OK ]\x7f\xC2\x9B" "2J\tb\xC2\xA0\n[ OK ]\n");
}

// The build for a service-account JSON key, which names the account: that build configures
// none. The key goes in the working directory in place of the PKCS#12 file.
class JsonKeyProgramTest : public ProgramFixture, public testing::WithParamInterface<Format> {
 protected:
  Format format() const override { return GetParam(); }
  const char* build() const override {
    return format() == Format::gdata ? LOOPBACK_JSON_BUILD : LOOPBACK_V4_JSON_BUILD;
  }
  void write_key(const std::string& token_uri) {
    testing_support::write_text_file((directory_ / JSON_CERTIFICATE_FILE).string(),
                                     testing_support::json_key_text(kPki, token_uri));
  }
};

TEST_P(JsonKeyProgramTest, ListingAndJsonModePrintTheRegistry) {
  write_key("https://127.0.0.1:" + std::to_string(TEST_PORT) + "/token");
  const ProcessResult listing = run({});
  EXPECT_EQ(listing.out, kSamplePlain);
  EXPECT_EQ(listing.err, "");
  EXPECT_EQ(listing.exit_status, 0);
  const ProcessResult json = run({"--json"});
  EXPECT_EQ(json.out, kSampleJson);
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(json.exit_status, 0);
}

// The key's token endpoint is not the build's; and a PKCS#12 file under the build's .json name
// is no JSON key. Either run fails without a word to the service.
TEST_P(JsonKeyProgramTest, KeyTheBuildCannotUseFailsWithoutContactingTheService) {
  write_key("https://127.0.0.1:1/token");
  EXPECT_EQ(run({}).out, "[Fail]\n");
  const ProcessResult json = run({"--json"});
  EXPECT_EQ(json.out, "[\n]");
  EXPECT_EQ(json.exit_status, 1);
  fs::copy_file(kPki + "/sa-legacy.p12", directory_ / JSON_CERTIFICATE_FILE,
                fs::copy_options::overwrite_existing);
  EXPECT_EQ(run({}).out, "[Fail]\n");
  EXPECT_TRUE(service().requests().empty());
}

// Built as a user of the live service builds it (the default format, a JSON key, two retries),
// the program rides out a service that is busy for a moment, and gives up on one that stays so.
TEST(RetriesProgramTest, ABusyServiceIsWaitedForUpToTheRetriesAsked) {
  fake::FakeService& service = service_for(Format::sheets_v4);
  const fs::path directory =
      fs::temp_directory_path() / ("registry-list-retries-" + std::to_string(getpid()));
  fs::create_directories(directory);
  testing_support::write_text_file(
      (directory / JSON_CERTIFICATE_FILE).string(),
      testing_support::json_key_text(kPki,
                                     "https://127.0.0.1:" + std::to_string(TEST_PORT) + "/token"));
  ProcessOptions options;
  options.working_directory = directory.string();
  const std::string values = testing_support::path_of(Format::sheets_v4, Stage::list);
  auto list_requests = [&] {
    const auto requests = service.requests();
    return std::count_if(requests.begin(), requests.end(),
                         [&](const fake::RecordedRequest& r) { return r.path == values; });
  };
  const fake::CannedResponse busy{
      503, "application/json; charset=UTF-8", "{}", {{"Retry-After", "0"}}};

  fake::Scenario scenario{sample_registry(), {}};
  scenario.scripted[values] = {busy, busy};
  service.set_scenario(scenario);
  service.clear_requests();
  EXPECT_EQ(run_process({LOOPBACK_V4_RETRIES_BUILD}, options).out, kSamplePlain);
  EXPECT_EQ(list_requests(), 3);

  scenario.scripted[values] = {busy, busy, busy};
  service.set_scenario(scenario);
  service.clear_requests();
  EXPECT_EQ(run_process({LOOPBACK_V4_RETRIES_BUILD}, options).out, "[Fail]\n");
  EXPECT_EQ(list_requests(), 3);
  fs::remove_all(directory);
}

INSTANTIATE_TEST_SUITE_P(Formats, JsonKeyProgramTest,
                         testing::Values(Format::gdata, Format::sheets_v4),
                         [](const testing::TestParamInfo<Format>& info) {
                           return testing_support::format_name(info.param);
                         });

INSTANTIATE_TEST_SUITE_P(Formats, RegistryListTest,
                         testing::Values(Format::gdata, Format::sheets_v4),
                         [](const testing::TestParamInfo<Format>& info) {
                           return testing_support::format_name(info.param);
                         });

// Token, Drive and Sheets at three origins, as the live service has them. While the token request
// is under way the program opens the connections to the other two with an unauthenticated
// `HEAD /` each, then sends each host's requests on its connection; a warm-up that fails only
// leaves its host to be connected when its first request comes.
struct WarmUpCase {
  const char* name;
  std::vector<std::string> dropped;  // hosts that hang up on the warm-up
};

class WarmUpTest : public ProgramFixture, public testing::WithParamInterface<WarmUpCase> {
 protected:
  Format format() const override { return Format::sheets_v4; }
  const char* build() const override { return LOOPBACK_V4_HOSTS_BUILD; }
};

TEST_P(WarmUpTest, OneConnectionPerHostAndNoCredentialBeforeTheToken) {
  const std::vector<std::string> hosts = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
  fake::FakeService& fake =
      testing_support::fixed_port_fake(Format::sheets_v4, kPki, TEST_PORT, hosts);
  const std::vector<std::string>& dropped = GetParam().dropped;
  fake::Scenario scenario{sample_registry(), {}};
  scenario.hang_up_head = {dropped.begin(), dropped.end()};
  fake.set_scenario(scenario);
  fake.clear_requests();
  const ProcessResult result = run({});
  EXPECT_EQ(result.out, kSamplePlain);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);

  auto is_dropped = [&](const std::string& host) {
    return std::find(dropped.begin(), dropped.end(), host) != dropped.end();
  };
  std::vector<std::string> warmed;
  std::vector<std::pair<std::string, std::string>> authenticated;  // host, path
  bool token_seen = false;
  for (const fake::RecordedRequest& r : fake.requests()) {
    const bool credential = std::any_of(r.headers.begin(), r.headers.end(), [](const auto& h) {
      std::string name = h.first;
      std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      });
      return name == "authorization";
    });
    if (r.method == "HEAD") {
      EXPECT_EQ(r.path + r.query, "/");
      EXPECT_FALSE(credential) << r.host;
      EXPECT_EQ(r.status, is_dropped(r.host) ? 0 : 404) << r.host;
      warmed.push_back(r.host);
      continue;
    }
    EXPECT_EQ(credential, token_seen) << r.method << " " << r.path;
    EXPECT_EQ(r.status, 200) << r.path;
    token_seen = token_seen || r.path == "/token";
    authenticated.emplace_back(r.host, r.path);
  }
  std::sort(warmed.begin(), warmed.end());
  EXPECT_EQ(warmed, (std::vector<std::string>{hosts[1], hosts[2]}));
  const std::vector<std::pair<std::string, std::string>> in_order = {
      {hosts[0], testing_support::path_of(Format::sheets_v4, Stage::token)},
      {hosts[1], testing_support::path_of(Format::sheets_v4, Stage::spreadsheets)},
      {hosts[2], testing_support::path_of(Format::sheets_v4, Stage::worksheets)},
      {hosts[2], testing_support::path_of(Format::sheets_v4, Stage::list)}};
  EXPECT_EQ(authenticated, in_order);
  // Each host's requests share one connection; a host that dropped its warm-up needs a second.
  std::map<std::string, int> connections;
  for (const std::string& host : hosts) connections[host] = is_dropped(host) ? 2 : 1;
  EXPECT_EQ(fake.connections(), connections);
}

INSTANTIATE_TEST_SUITE_P(Hosts, WarmUpTest,
                         testing::Values(WarmUpCase{"AllWarmUpsAnswered", {}},
                                         WarmUpCase{"DriveHangsUpOnItsWarmUp", {"127.0.0.2"}},
                                         WarmUpCase{"SheetsHangsUpOnItsWarmUp", {"127.0.0.3"}}),
                         [](const testing::TestParamInfo<WarmUpCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
