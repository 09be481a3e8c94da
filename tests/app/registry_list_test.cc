// The built program, run as a process in a scratch working directory against the fake
// service on the loopback port it was built for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fake_service.h"
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

class RegistryListTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    fake::ServiceOptions options;
    options.pki_dir = kPki;
    options.port = TEST_PORT;
    service_ = new fake::FakeService(options);
    service_->start();
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }

  void SetUp() override {
    service_->clear_requests();
    service_->set_scenario({sample_registry(), {}});
    directory_ =
        fs::temp_directory_path() / ("registry-list-test-" + std::to_string(getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_);
    fs::copy_file(kPki + "/sa-legacy.p12", directory_ / CERTIFICATE_FILE);
  }
  void TearDown() override { fs::remove_all(directory_); }

  ProcessResult run(std::vector<std::string> args, ProcessOptions options = {}) {
    args.insert(args.begin(), LOOPBACK_BUILD);
    options.working_directory = directory_.string();
    options.timeout = std::chrono::seconds(60);
    return run_process(args, options);
  }

  static fake::FakeService* service_;
  fs::path directory_;
};

fake::FakeService* RegistryListTest::service_ = nullptr;

TEST_F(RegistryListTest, ListingModePrintsEachRowThenOk) {
  const ProcessResult result = run({});
  EXPECT_EQ(result.out, kSamplePlain);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
}

TEST_F(RegistryListTest, AnyArgumentSelectsJsonModeWithoutBeingInterpreted) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--json"}, {"--help"}, {"-h", "extra"}, {""}}) {
    const ProcessResult result = run(args);
    EXPECT_EQ(result.out, kSampleJson) << args[0];
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
  }
}

TEST_F(RegistryListTest, EmptyRegistryPrintsOnlyTheStatusLineOrAnEmptyArray) {
  service_->set_scenario(
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

struct FailureCase {
  const char* name;
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
  std::string override_path;
  fake::CannedResponse response;
};

class RegistryListFailureTest : public RegistryListTest,
                                public testing::WithParamInterface<FailureCase> {};

TEST_P(RegistryListFailureTest, ListingPrintsOnlyFailAndJsonAnEmptyArrayWithStatusOne) {
  fake::Scenario scenario{sample_registry(), {}};
  scenario.overrides[GetParam().override_path] = GetParam().response;
  service_->set_scenario(scenario);
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
    testing::Values(
        FailureCase{
            "TokenRefused", "/token", {400, "application/json", R"({"error":"invalid_grant"})"}},
        FailureCase{
            "ServiceUnavailable", "/feeds/spreadsheets/private/full", {503, "text/plain", "busy"}},
        FailureCase{
            "TruncatedListFeed",
            "/feeds/list/inv/od6/private/full",
            {200, "application/atom+xml", "<feed xmlns=\"http://www.w3.org/2005/Atom\"><entry>"}}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(RegistryListTest, MissingKeyFileFailsWithoutContactingTheService) {
  fs::remove(directory_ / CERTIFICATE_FILE);
  const ProcessResult result = run({});
  EXPECT_EQ(result.out, "[Fail]\n");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(service_->requests().empty());
}

TEST_F(RegistryListTest, KeyFileIsReadFromTheWorkingDirectoryOnly) {
  const fs::path nested = directory_ / "elsewhere";
  fs::create_directories(nested);
  const fs::path saved = directory_;
  directory_ = nested;
  const ProcessResult result = run({});
  directory_ = saved;
  EXPECT_EQ(result.out, "[Fail]\n");
}

TEST_F(RegistryListTest, UnwritableOutputIsReportedByTheExitStatus) {
  ProcessOptions to_full;
  to_full.stdout_path = "/dev/full";
  EXPECT_EQ(run({}, to_full).exit_status, 1);
  EXPECT_EQ(run({"--json"}, to_full).exit_status, 1);
}

TEST_F(RegistryListTest, ServiceThatIsNotListeningGivesFail) {
  service_->stop();
  const ProcessResult listing = run({});
  const ProcessResult json = run({"--json"});
  service_->start();
  EXPECT_EQ(listing.out, "[Fail]\n");
  EXPECT_EQ(listing.exit_status, 0);
  EXPECT_EQ(json.out, "[\n]");
  EXPECT_EQ(json.exit_status, 1);
}

// The shipped build points at the real service. Run it where no network exists at all, a
// fresh network namespace, so that nothing can leave this machine.
TEST_F(RegistryListTest, DefaultBuildWithNoReachableServicePrintsFail) {
  ProcessOptions isolated;
  isolated.wrapper = {"unshare", "--net", "--map-root-user"};
  isolated.working_directory = directory_.string();
  isolated.timeout = std::chrono::seconds(60);
  const ProcessResult probe = run_process({"true"}, isolated);
  if (probe.exit_status != 0) GTEST_SKIP() << "cannot make a network namespace here";
  const ProcessResult result = run_process({DEFAULT_BUILD}, isolated);
  EXPECT_EQ(result.out, "[Fail]\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
}

}  // namespace
