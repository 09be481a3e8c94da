// The whole retrieval against the loopback fake of the spreadsheet service.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_service.h"
#include "platform/failure/failure.h"
#include "registry/registry.h"

namespace kolvo {
namespace {

const std::string kPki = TEST_PKI_DIR;
const std::string kSpreadsheetsPath = "/feeds/spreadsheets/private/full";
const std::string kWorksheetsPath = "/feeds/worksheets/inv/private/full";
const std::string kListPath = "/feeds/list/inv/od6/private/full";

fake::Worksheet registry_sheet(std::vector<std::string> header,
                               std::vector<std::vector<std::string>> rows) {
  return fake::Worksheet{kWorksheetTitle, std::move(header), std::move(rows), true};
}

fake::Model one_sheet(fake::Worksheet sheet) {
  return fake::Model{{fake::Spreadsheet{"Inventory", "inv", {std::move(sheet)}}}};
}

fake::Scenario serve(fake::Model model) { return fake::Scenario{std::move(model), {}}; }

class RetrievalTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    fake::ServiceOptions options;
    options.pki_dir = kPki;
    service_ = new fake::FakeService(options);
    service_->start();
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }
  void SetUp() override { service_->clear_requests(); }

  RegistryClientConfig config() const {
    RegistryClientConfig config;
    config.certificate_file = kPki + "/sa-legacy.p12";
    config.certificate_password = "notasecret";
    config.service_account = "registry-reader@registry-project.iam.gserviceaccount.com";
    config.spreadsheet_title = "Inventory";
    config.token_uri = service_->token_uri();
    config.spreadsheets_feed_uri = service_->spreadsheets_feed_uri();
    config.ca_bundle = kPki + "/ca.pem";
    config.connect_timeout_seconds = 5;
    config.stall_timeout_seconds = 5;
    config.request_timeout_seconds = 20;
    return config;
  }

  RegistryRecordList retrieve(fake::Model model) { return retrieve(serve(std::move(model))); }
  RegistryRecordList retrieve(fake::Scenario scenario) {
    service_->set_scenario(std::move(scenario));
    return retrieve_registry(config());
  }

  std::vector<std::string> requested_paths() const {
    std::vector<std::string> paths;
    for (const auto& request : service_->requests()) paths.push_back(request.path);
    return paths;
  }

  static fake::FakeService* service_;
};

fake::FakeService* RetrievalTest::service_ = nullptr;

TEST_F(RetrievalTest, ReadsEveryRowInFeedOrder) {
  const RegistryRecordList list = retrieve(one_sheet(registry_sheet(
      {"Serial Number", "Name", "Location"}, {{"SN\\1", "Pump & <Valve>", "Z\xC3\xBCrich"},
                                              {"SN-2", "\"Drill\"", "\xE6\x9D\xB1\xE4\xBA\xAC"}})));
  const RegistryRecordList expected = {
      {u"SN\\1", {{"location", "Z\xC3\xBCrich"}, {"name", "Pump & <Valve>"}}},
      {u"SN-2", {{"location", "\xE6\x9D\xB1\xE4\xBA\xAC"}, {"name", "\"Drill\""}}}};
  EXPECT_EQ(list, expected);
}

TEST_F(RetrievalTest, SignsInOnceAndSendsExactlyOneBearerHeaderOnEachFeedRequest) {
  retrieve(one_sheet(registry_sheet({"serialnumber"}, {{"1"}})));
  const auto requests = service_->requests();
  ASSERT_EQ(requested_paths(),
            (std::vector<std::string>{"/token", kSpreadsheetsPath, kWorksheetsPath, kListPath}));
  EXPECT_EQ(requests[0].method, "POST");
  ASSERT_EQ(service_->issued_tokens().size(), 1u);
  const std::string bearer = "Bearer " + service_->issued_tokens()[0];
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].method, "GET");
    EXPECT_EQ(requests[i].query, "") << "a list query takes no parameters";
    std::vector<std::string> authorizations, user_agents, encodings;
    for (const auto& [name, value] : requests[i].headers) {
      std::string lower = name;
      std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
      if (lower == "authorization") authorizations.push_back(value);
      if (lower == "user-agent") user_agents.push_back(value);
      if (lower == "accept-encoding") encodings.push_back(value);
    }
    EXPECT_EQ(authorizations, std::vector<std::string>{bearer});
    EXPECT_TRUE(user_agents.empty());
    ASSERT_EQ(encodings.size(), 1u);
    EXPECT_NE(encodings[0].find("gzip"), std::string::npos);
  }
  EXPECT_EQ(requests[1].remote_port, requests[2].remote_port) << "feed requests share a connection";
  EXPECT_EQ(requests[2].remote_port, requests[3].remote_port) << "feed requests share a connection";
  // The token request carries the assertion, never a bearer header.
  for (const auto& [name, value] : requests[0].headers) EXPECT_NE(name, "Authorization");
}

TEST_F(RetrievalTest, ModernlyEncryptedKeyFileWorksToo) {
  service_->set_scenario(serve(one_sheet(registry_sheet({"serialnumber"}, {{"1"}}))));
  RegistryClientConfig aes = config();
  aes.certificate_file = kPki + "/sa-aes.p12";
  EXPECT_EQ(retrieve_registry(aes).size(), 1u);
}

TEST_F(RetrievalTest, EmptyRegistryIsASuccess) {
  EXPECT_TRUE(retrieve(one_sheet(registry_sheet({"serialnumber", "name"}, {}))).empty());
}

TEST_F(RetrievalTest, BlankRowEndsTheRows) {
  const auto list = retrieve(
      {one_sheet(registry_sheet({"serialnumber"}, {{"1"}, {"2"}, {""}, {"after the gap"}}))});
  EXPECT_EQ(list.size(), 2u);
}

TEST_F(RetrievalTest, RowWithoutSerialNumberAndRowWithOnlySerialNumber) {
  const auto list = retrieve(
      one_sheet(registry_sheet({"serialnumber", "name"}, {{"", "no serial"}, {"S2", ""}, {"S3"}})));
  const RegistryRecordList expected = {
      {u"", {{"name", "no serial"}}}, {u"S2", {{"name", ""}}}, {u"S3", {{"name", ""}}}};
  EXPECT_EQ(list, expected);
  const auto only = retrieve(one_sheet(registry_sheet({"serialnumber"}, {{"S1"}})));
  EXPECT_EQ(only, (RegistryRecordList{{u"S1", {}}}));
}

TEST_F(RetrievalTest, PropertyKeysComeOutInByteOrderWhateverTheColumnOrder) {
  const auto list =
      retrieve(one_sheet(registry_sheet({"b", "serialnumber", "a"}, {{"2", "S", "1"}})));
  ASSERT_EQ(list.size(), 1u);
  std::vector<std::string> keys;
  for (const auto& [key, value] : list[0].properties) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "b"}));
}

TEST_F(RetrievalTest, FirstOfTwoSpreadsheetsWithTheTitleIsUsed) {
  fake::Model model{
      {fake::Spreadsheet{
           "Inventory", "first", {registry_sheet({"serialnumber"}, {{"from first"}})}},
       fake::Spreadsheet{
           "Inventory", "second", {registry_sheet({"serialnumber"}, {{"from second"}})}}}};
  EXPECT_EQ(retrieve(model), (RegistryRecordList{{u"from first", {}}}));
}

struct FailureCase {
  const char* name;
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
  fake::Scenario scenario;
  std::vector<std::string> paths_requested;  // what reached the service before the failure
};

fake::Scenario with_override(std::string path, fake::CannedResponse response) {
  fake::Scenario scenario = serve(one_sheet(registry_sheet({"serialnumber"}, {{"1"}})));
  scenario.overrides[std::move(path)] = std::move(response);
  return scenario;
}

fake::Scenario worksheets_linking_to(const std::string& href) {
  return with_override(kWorksheetsPath,
                       {200, "application/atom+xml",
                        R"(<feed xmlns="http://www.w3.org/2005/Atom"><entry><title>Registry</title>
                           <link rel="http://schemas.google.com/spreadsheets/2006#listfeed" href=")" +
                            href + R"("/></entry></feed>)"});
}

class RetrievalFailureTest : public RetrievalTest,
                             public testing::WithParamInterface<FailureCase> {};

TEST_P(RetrievalFailureTest, FailsWithoutAPartialResult) {
  EXPECT_THROW(retrieve(GetParam().scenario), Failure);
  EXPECT_EQ(requested_paths(), GetParam().paths_requested);
}

const std::vector<std::string> kUpToToken = {"/token"};
const std::vector<std::string> kUpToSpreadsheets = {"/token", kSpreadsheetsPath};
const std::vector<std::string> kUpToWorksheets = {"/token", kSpreadsheetsPath, kWorksheetsPath};
const std::vector<std::string> kAll = {"/token", kSpreadsheetsPath, kWorksheetsPath, kListPath};

INSTANTIATE_TEST_SUITE_P(
    Scenarios, RetrievalFailureTest,
    testing::Values(
        FailureCase{"SpreadsheetTitleDiffersInCase",
                    serve(fake::Model{{fake::Spreadsheet{
                        "inventory", "inv", {registry_sheet({"serialnumber"}, {})}}}}),
                    kUpToSpreadsheets},
        FailureCase{"NoSpreadsheetHasTheTitle", serve(fake::Model{}), kUpToSpreadsheets},
        FailureCase{
            "SpreadsheetEntryWithoutTitle",
            serve(fake::Model{
                {fake::Spreadsheet{std::nullopt, "x", {}},
                 fake::Spreadsheet{"Inventory", "inv", {registry_sheet({"serialnumber"}, {})}}}}),
            kUpToSpreadsheets},
        FailureCase{"WorksheetTitleInLowerCase",
                    serve(one_sheet(fake::Worksheet{"registry", {"serialnumber"}, {{"1"}}, true})),
                    kUpToWorksheets},
        FailureCase{
            "WorksheetWithoutListFeedLink",
            serve(one_sheet(fake::Worksheet{kWorksheetTitle, {"serialnumber"}, {{"1"}}, false})),
            kUpToWorksheets},
        FailureCase{
            "TokenRequestRefused",
            with_override("/token", {400, "application/json", R"({"error":"invalid_grant"})"}),
            kUpToToken},
        FailureCase{
            "TokenResponseWithoutToken",
            with_override("/token", {200, "application/json", R"({"token_type":"Bearer"})"}),
            kUpToToken},
        FailureCase{
            "MalformedListFeed",
            with_override(kListPath, {200, "application/atom+xml",
                                      "<feed xmlns=\"http://www.w3.org/2005/Atom\"><entry>"}),
            kAll},
        FailureCase{
            "ListFeedIsAnHtmlPage",
            with_override(kListPath, {200, "text/html", "<html><body>Sign in</body></html>"}),
            kAll},
        FailureCase{"ServerErrorOnSpreadsheets",
                    with_override(kSpreadsheetsPath, {500, "text/plain", "oops"}),
                    kUpToSpreadsheets},
        FailureCase{"NotFoundOnWorksheets",
                    with_override(kWorksheetsPath, {404, "text/plain", "gone"}), kUpToWorksheets},
        FailureCase{"ForbiddenOnList", with_override(kListPath, {403, "text/plain", "no"}), kAll},
        FailureCase{"RedirectIsNotFollowed", with_override(kListPath, {302, "text/plain", ""}),
                    kAll},
        FailureCase{"LinkToAnotherHostOnTheSamePort",
                    worksheets_linking_to("https://localhost:{{port}}" + kListPath),
                    kUpToWorksheets},
        FailureCase{"LinkOverPlainHttp",
                    worksheets_linking_to("http://127.0.0.1:{{port}}" + kListPath),
                    kUpToWorksheets},
        FailureCase{"RelativeLink", worksheets_linking_to(kListPath), kUpToWorksheets}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(RetrievalTest, KeyOfAnotherAccountIsRefusedByTheService) {
  service_->set_scenario(serve(one_sheet(registry_sheet({"serialnumber"}, {{"1"}}))));
  RegistryClientConfig other = config();
  other.certificate_file = kPki + "/other-sa.p12";
  EXPECT_THROW(retrieve_registry(other), Failure);
  EXPECT_EQ(requested_paths(), kUpToToken);
}

TEST_F(RetrievalTest, MissingKeyFileFailsBeforeAnyRequest) {
  RegistryClientConfig missing = config();
  missing.certificate_file = kPki + "/absent.p12";
  EXPECT_THROW(retrieve_registry(missing), Failure);
  EXPECT_TRUE(requested_paths().empty());
}

TEST_F(RetrievalTest, ServiceCertificateFromAnUntrustedCaIsRefused) {
  RegistryClientConfig untrusting = config();
  untrusting.ca_bundle = kPki + "/other-ca.pem";
  EXPECT_THROW(retrieve_registry(untrusting), Failure);
  EXPECT_TRUE(requested_paths().empty());
}

}  // namespace
}  // namespace kolvo
