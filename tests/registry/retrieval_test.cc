// The whole retrieval against the loopback fake of the spreadsheet service, in both wire
// formats: every case runs over the Atom feeds and over Sheets v4 with Drive v3.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <tuple>

#include "fake_service.h"
#include "feed_paths.h"
#include "http_options.h"
#include "json_key_file.h"
#include "jwt.h"
#include "platform/auth/auth.h"
#include "platform/failure/failure.h"
#include "platform/feeds/sheets_v4/sheets_v4.h"
#include "recording_retry_clock.h"
#include "registry/registry.h"

namespace kolvo {
namespace {

const std::string kPki = TEST_PKI_DIR;

using testing_support::path_of;
using testing_support::paths_up_to;
using testing_support::Stage;

using testing_support::Format;
using testing_support::format_name;

// The build setting that selects the format.
std::string feed_format_setting(Format format) {
  return format == Format::gdata ? "gdata" : "sheets-v4";
}

fake::Worksheet registry_sheet(std::vector<std::string> header,
                               std::vector<std::vector<std::string>> rows) {
  return fake::Worksheet{kWorksheetTitle, std::move(header), std::move(rows), true};
}

fake::Model one_sheet(fake::Worksheet sheet, std::string title = "Inventory") {
  return fake::Model{{fake::Spreadsheet{std::move(title), "inv", {std::move(sheet)}}}};
}

fake::Scenario serve(fake::Model model) { return fake::Scenario{std::move(model), {}}; }

// One fake per format, each expecting that format's scopes, started on first use.
fake::FakeService& service_for(Format format) {
  static std::map<Format, std::unique_ptr<fake::FakeService>> services;
  auto& service = services[format];
  if (!service) {
    fake::ServiceOptions options;
    options.pki_dir = kPki;
    options.scope = format == Format::gdata ? fake::kFeedsScope : fake::kSheetsV4Scopes;
    service = std::make_unique<fake::FakeService>(options);
    service->start();
  }
  return *service;
}

// Runs the retrieval against the fake of the format the test is parameterised with.
class RetrievalFixture : public testing::Test {
 protected:
  void SetUp() override { service().clear_requests(); }

  virtual Format format() const = 0;
  fake::FakeService& service() const { return service_for(format()); }

  RegistryClientConfig config() const {
    RegistryClientConfig config;
    config.certificate_file = kPki + "/sa-legacy.p12";
    config.certificate_password = "notasecret";
    config.service_account = "registry-reader@registry-project.iam.gserviceaccount.com";
    config.spreadsheet_title = "Inventory";
    config.token_uri = service().token_uri();
    config.feed_format = feed_format_setting(format());
    config.spreadsheets_feed_uri = service().spreadsheets_feed_uri();
    config.drive_files_uri = service().drive_files_uri();
    config.sheets_uri = service().sheets_uri();
    config.ca_bundle = kPki + "/ca.pem";
    config.connect_timeout_seconds = 5;
    config.stall_timeout_seconds = 5;
    config.request_timeout_seconds = 20;
    config.max_body_bytes = std::uint64_t{64} << 20;
    return config;
  }

  RegistryRecordList retrieve(fake::Model model) { return retrieve(serve(std::move(model))); }
  RegistryRecordList retrieve(fake::Scenario scenario) {
    service().set_scenario(std::move(scenario));
    return retrieve_registry(config());
  }

  std::vector<std::string> requested_paths() const {
    std::vector<std::string> paths;
    for (const auto& request : service().requests()) paths.push_back(request.path);
    return paths;
  }
};

class RetrievalTest : public RetrievalFixture, public testing::WithParamInterface<Format> {
 protected:
  Format format() const override { return GetParam(); }
};

TEST_P(RetrievalTest, ReadsEveryRowInFeedOrder) {
  const RegistryRecordList list = retrieve(one_sheet(registry_sheet(
      {"Serial Number", "Name", "Location"}, {{"SN\\1", "Pump & <Valve>", "Z\xC3\xBCrich"},
                                              {"SN-2", "\"Drill\"", "\xE6\x9D\xB1\xE4\xBA\xAC"}})));
  const RegistryRecordList expected = {
      {u"SN\\1", {{"location", "Z\xC3\xBCrich"}, {"name", "Pump & <Valve>"}}},
      {u"SN-2", {{"location", "\xE6\x9D\xB1\xE4\xBA\xAC"}, {"name", "\"Drill\""}}}};
  EXPECT_EQ(list, expected);
}

std::vector<std::string> header_values(const fake::RecordedRequest& request, std::string name) {
  std::vector<std::string> values;
  for (const auto& [header, value] : request.headers) {
    std::string lower = header;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    if (lower == name) values.push_back(value);
  }
  return values;
}

TEST_P(RetrievalTest, SignsInOnceAndSendsExactlyOneBearerHeaderOnEachFeedRequest) {
  const std::size_t tokens_before = service().issued_tokens().size();
  retrieve(one_sheet(registry_sheet({"serialnumber"}, {{"1"}})));
  const auto requests = service().requests();
  ASSERT_EQ(requested_paths(), paths_up_to(format(), Stage::list));
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_TRUE(header_values(requests[0], "authorization").empty());
  ASSERT_EQ(service().issued_tokens().size(), tokens_before + 1);
  const std::string bearer = "Bearer " + service().issued_tokens().back();
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].method, "GET");
    EXPECT_EQ(header_values(requests[i], "authorization"), std::vector<std::string>{bearer});
    EXPECT_TRUE(header_values(requests[i], "user-agent").empty());
    const auto encodings = header_values(requests[i], "accept-encoding");
    ASSERT_EQ(encodings.size(), 1u);
    EXPECT_NE(encodings[0].find("gzip"), std::string::npos);
  }
  // Same host and port throughout here, so all four requests share one connection.
  EXPECT_EQ(requests[0].remote_port, requests[1].remote_port);
  EXPECT_EQ(requests[1].remote_port, requests[2].remote_port);
  EXPECT_EQ(requests[2].remote_port, requests[3].remote_port);
}

TEST_P(RetrievalTest, ModernlyEncryptedKeyFileWorksToo) {
  service().set_scenario(serve(one_sheet(registry_sheet({"serialnumber"}, {{"1"}}))));
  RegistryClientConfig aes = config();
  aes.certificate_file = kPki + "/sa-aes.p12";
  EXPECT_EQ(retrieve_registry(aes), (RegistryRecordList{{u"1", {}}}));
}

// Rows are made into records in batches, on two threads: a registry that ends one row short
// of, exactly at and one row past a batch boundary, one long enough that the parser's thread
// takes batches too, and rows whose cells change length from row to row, must all come back
// whole and in order.
TEST_P(RetrievalTest, LongRegistriesComeBackWholeAndInOrder) {
  for (const std::size_t rows :
       {std::size_t{255}, std::size_t{256}, std::size_t{1025}, std::size_t{20000}}) {
    std::vector<std::vector<std::string>> cells;
    RegistryRecordList expected;
    for (std::size_t i = 0; i < rows; ++i) {
      const std::string serial = "SN-" + std::to_string(i);
      const std::string name(i % 37, static_cast<char>('a' + i % 26));
      const std::string place = i % 3 == 0 ? "Z\xC3\xBCrich" : "";
      cells.push_back({serial, name, place});
      expected.push_back(
          {std::u16string(serial.begin(), serial.end()), {{"name", name}, {"place", place}}});
    }
    const RegistryRecordList list =
        retrieve(one_sheet(registry_sheet({"serialnumber", "name", "place"}, cells)));
    ASSERT_EQ(list.size(), rows);
    EXPECT_TRUE(list == expected) << rows << " rows";
  }
}

TEST_P(RetrievalTest, EmptyRegistryIsASuccess) {
  EXPECT_TRUE(retrieve(one_sheet(registry_sheet({"serialnumber", "name"}, {}))).empty());
}

// The list feed ends the rows at the first blank one; the values answer holds every row, and a
// blank one between groups of rows is passed over, not taken for the end of the registry.
TEST_P(RetrievalTest, BlankRowEndsTheListFeedButNotTheValues) {
  const auto list = retrieve(one_sheet(
      registry_sheet({"serialnumber"}, {{"1"}, {"2"}, {""}, {"after the gap"}, {""}, {""}})));
  RegistryRecordList expected{{u"1", {}}, {u"2", {}}};
  if (GetParam() == Format::sheets_v4) expected.push_back({u"after the gap", {}});
  EXPECT_EQ(list, expected);
}

TEST_P(RetrievalTest, RaggedRowsGiveEmptyProperties) {
  const auto list = retrieve(one_sheet(
      registry_sheet({"serialnumber", "name", "notes"}, {{"S1"}, {"S2", "n"}, {"", "", "x"}})));
  const RegistryRecordList expected = {{u"S1", {{"name", ""}, {"notes", ""}}},
                                       {u"S2", {{"name", "n"}, {"notes", ""}}},
                                       {u"", {{"name", ""}, {"notes", "x"}}}};
  EXPECT_EQ(list, expected);
}

TEST_P(RetrievalTest, RowWithoutSerialNumberAndRowWithOnlySerialNumber) {
  const auto list = retrieve(
      one_sheet(registry_sheet({"serialnumber", "name"}, {{"", "no serial"}, {"S2", ""}})));
  EXPECT_EQ(list, (RegistryRecordList{{u"", {{"name", "no serial"}}}, {u"S2", {{"name", ""}}}}));
  const auto only = retrieve(one_sheet(registry_sheet({"serialnumber"}, {{"S1"}})));
  EXPECT_EQ(only, (RegistryRecordList{{u"S1", {}}}));
}

TEST_P(RetrievalTest, PropertyKeysComeOutInByteOrderWhateverTheColumnOrder) {
  const auto list =
      retrieve(one_sheet(registry_sheet({"b", "serialnumber", "a"}, {{"2", "S", "1"}})));
  EXPECT_EQ(list, (RegistryRecordList{{u"S", {{"a", "1"}, {"b", "2"}}}}));
}

TEST_P(RetrievalTest, HeaderCellsBecomeListFeedNames) {
  const auto list = retrieve(
      one_sheet(registry_sheet({"Serial Number", "Time 2 Eat!", "letters_pl",
                                "Tel\xC3\xA9"
                                "fono",
                                "\xD0\x98\xD0\xBC\xD1\x8F", "Name", "NAME", "", "?!"},
                               {{"S1", "t", "l", "p", "i", "n1", "n2", "blank", "punctuation"}})));
  const RegistryRecordList expected = {{u"S1",
                                        {{"_clrrx", "blank"},
                                         {"_cyevm", "punctuation"},
                                         {"letterspl", "l"},
                                         {"name", "n1"},
                                         {"name_2", "n2"},
                                         {"tel\xC3\xA9"
                                          "fono",
                                          "p"},
                                         {"time2eat", "t"},
                                         {"\xD0\xB8\xD0\xBC\xD1\x8F", "i"}}}};
  EXPECT_EQ(list, expected);
}

// No cell is lost: a column whose header gives no name, and a row's cells beyond the header,
// come under their positional names, the same in both formats. A header column is in every
// record; one beyond the header only in the records of rows that reach it.
TEST_P(RetrievalTest, BlankHeadedColumnsAndCellsBeyondTheHeaderKeepTheirValues) {
  const auto list = retrieve(one_sheet(registry_sheet(
      {"Serial Number", "", "\xE0\xA4\xA8\xE0\xA4\xBE\xE0\xA4\xAE", "?!", ""},
      {{"S1", "a", "n", "b", "c", "d"}, {"S2", "", "m"}, {"S3", "", "", "", "", "", "", "g"}})));
  const RegistryRecordList expected = {
      {u"S1",
       {{"_chk2m", "c"},
        {"_ciyn3", "d"},
        {"_cokwr", "a"},
        {"_cre1l", "b"},
        {"\xE0\xA4\xA8\xE0\xA4\xBE\xE0\xA4\xAE", "n"}}},
      {u"S2", {{"_cokwr", ""}, {"_cre1l", ""}, {"\xE0\xA4\xA8\xE0\xA4\xBE\xE0\xA4\xAE", "m"}}},
      {u"S3",
       {{"_chk2m", ""},
        {"_ciyn3", ""},
        {"_ckd7g", ""},
        {"_clrrx", "g"},
        {"_cokwr", ""},
        {"_cre1l", ""},
        {"\xE0\xA4\xA8\xE0\xA4\xBE\xE0\xA4\xAE", ""}}}};
  EXPECT_EQ(list, expected);
}

TEST_P(RetrievalTest, FirstSpreadsheetWithTheExactTitleIsUsed) {
  // The Drive search matches titles loosely; the program must still pick by exact title.
  fake::Model model{
      {fake::Spreadsheet{"INVENTORY", "upper", {registry_sheet({"serialnumber"}, {{"upper"}})}},
       fake::Spreadsheet{"Inventory", "first", {registry_sheet({"serialnumber"}, {{"first"}})}},
       fake::Spreadsheet{"Inventory", "second", {registry_sheet({"serialnumber"}, {{"second"}})}}}};
  EXPECT_EQ(retrieve(model), (RegistryRecordList{{u"first", {}}}));
}

TEST_P(RetrievalTest, SpreadsheetTitleWithQuoteAndBackslashIsFound) {
  service().set_scenario(
      serve(one_sheet(registry_sheet({"serialnumber"}, {{"1"}}), "Bob's \\ Kit")));
  RegistryClientConfig quoted = config();
  quoted.spreadsheet_title = "Bob's \\ Kit";
  EXPECT_EQ(retrieve_registry(quoted), (RegistryRecordList{{u"1", {}}}));
}

TEST_P(RetrievalTest, KeyOfAnotherAccountIsRefusedByTheService) {
  service().set_scenario(serve(one_sheet(registry_sheet({"serialnumber"}, {{"1"}}))));
  RegistryClientConfig other = config();
  other.certificate_file = kPki + "/other-sa.p12";
  EXPECT_THROW(retrieve_registry(other), Failure);
  EXPECT_EQ(requested_paths(), paths_up_to(format(), Stage::token));
}

TEST_P(RetrievalTest, MissingKeyFileFailsBeforeAnyRequest) {
  RegistryClientConfig missing = config();
  missing.certificate_file = kPki + "/absent.p12";
  EXPECT_THROW(retrieve_registry(missing), Failure);
  EXPECT_TRUE(requested_paths().empty());
}

TEST_P(RetrievalTest, ServiceCertificateFromAnUntrustedCaIsRefused) {
  RegistryClientConfig untrusting = config();
  untrusting.ca_bundle = kPki + "/other-ca.pem";
  EXPECT_THROW(retrieve_registry(untrusting), Failure);
  EXPECT_TRUE(requested_paths().empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, RetrievalTest, testing::Values(Format::gdata, Format::sheets_v4),
                         [](const auto& info) { return format_name(info.param); });

// The same retrieval signed with a service-account JSON key, written for the fake's token
// endpoint as the test runs, under the password of the PKCS#12 file, which it must not look at.
class JsonKeyRetrievalTest : public RetrievalFixture, public testing::WithParamInterface<Format> {
 protected:
  Format format() const override { return GetParam(); }
  void SetUp() override {
    RetrievalFixture::SetUp();
    service().set_scenario(serve(one_sheet(registry_sheet({"serialnumber"}, {{"1"}}))));
  }
  void TearDown() override { std::filesystem::remove(key_file_); }

  RegistryClientConfig config_with_key(const testing_support::JsonKeyMembers& changes = {}) const {
    testing_support::write_text_file(
        key_file_, testing_support::json_key_text(kPki, service().token_uri(), changes));
    RegistryClientConfig config = this->config();
    config.certificate_file = key_file_;
    return config;
  }

  std::string failure_of(const RegistryClientConfig& config) {
    try {
      retrieve_registry(config);
    } catch (const Failure& failure) {
      return failure.what();
    }
    return "retrieved";
  }

  // The header and the claims of the assertion that the fake was sent.
  std::pair<std::string, nlohmann::json> sent_assertion() const {
    const std::string body = service().requests().at(0).body;
    const std::string jwt = body.substr(body.find("assertion=") + 10);
    EXPECT_TRUE(testing_support::jwt_verifies(kPki + "/sa.pem", jwt));
    const std::size_t first = jwt.find('.');
    return {testing_support::jwt_header(jwt),
            nlohmann::json::parse(testing_support::base64url_decode(
                jwt.substr(first + 1, jwt.find('.', first + 1) - first - 1)))};
  }

  const std::string key_file_ = std::filesystem::temp_directory_path() /
                                ("registry-retrieval-" + std::to_string(getpid()) + ".json");
};

// With the account configured or left to the key, with the key's token endpoint or without
// one, the key's account signs in (the fake accepts no other account) under the key's id.
TEST_P(JsonKeyRetrievalTest, ReadsTheRegistrySignedInAsTheKeysAccount) {
  for (const std::string account : {testing_support::kTestAccount, ""}) {
    for (const bool names_endpoint : {true, false}) {
      service().clear_requests();
      RegistryClientConfig config =
          config_with_key(names_endpoint ? testing_support::JsonKeyMembers{}
                                         : testing_support::JsonKeyMembers{{"token_uri", ""}});
      config.service_account = account;
      EXPECT_EQ(retrieve_registry(config), (RegistryRecordList{{u"1", {}}}));
      const auto [header, claims] = sent_assertion();
      EXPECT_EQ(header, std::string(R"({"alg":"RS256","typ":"JWT","kid":")") +
                            testing_support::kTestKeyId + "\"}");
      EXPECT_EQ(claims["iss"], testing_support::kTestAccount);
    }
  }
}

// Neither a key of another account nor one for another token endpoint is used: the run fails
// before it sends anything, to the fake or to the key's endpoint (the other format's fake,
// on another port of this host).
TEST_P(JsonKeyRetrievalTest, KeyForAnotherAccountOrEndpointFailsWithNothingSentAnywhere) {
  fake::FakeService& elsewhere =
      service_for(format() == Format::gdata ? Format::sheets_v4 : Format::gdata);
  elsewhere.clear_requests();
  const std::string ours = service().token_uri();
  const std::string to_ours = ", not the configured " + ours;
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"someone-else@other-project.iam.gserviceaccount.com", ours,
       "key file: the key is for registry-reader@registry-project.iam.gserviceaccount.com, not "
       "the configured service account someone-else@other-project.iam.gserviceaccount.com"},
      {"Registry-reader@registry-project.iam.gserviceaccount.com", ours,
       "key file: the key is for registry-reader@registry-project.iam.gserviceaccount.com, not "
       "the configured service account Registry-reader@registry-project.iam.gserviceaccount.com"},
      {"", elsewhere.token_uri(),
       "key file: the key names the token endpoint " + elsewhere.token_uri() + to_ours},
      {"", "https://127.0.0.1:1/token",
       "key file: the key names the token endpoint https://127.0.0.1:1/token" + to_ours},
      {"", "https://oauth2.example.test/token",
       "key file: the key names the token endpoint https://oauth2.example.test/token" + to_ours},
      {"", ours + "/", "key file: the key names the token endpoint " + ours + "/" + to_ours}};
  for (const auto& [account, token_uri, failure] : cases) {
    RegistryClientConfig config =
        config_with_key({{"token_uri", testing_support::json_string(token_uri)}});
    config.service_account = account;
    EXPECT_EQ(failure_of(config), failure);
  }
  EXPECT_TRUE(requested_paths().empty());
  EXPECT_TRUE(elsewhere.requests().empty());
}

// A PKCS#12 file names no account, so the build must.
TEST_P(JsonKeyRetrievalTest, PkcsTwelveKeyWithoutAConfiguredAccountFailsBeforeAnyRequest) {
  RegistryClientConfig config = this->config();
  config.service_account = "";
  EXPECT_EQ(failure_of(config),
            "credential: no service account is configured, and the key file names none");
  EXPECT_TRUE(requested_paths().empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, JsonKeyRetrievalTest,
                         testing::Values(Format::gdata, Format::sheets_v4),
                         [](const auto& info) { return format_name(info.param); });

struct FailureCase {
  const char* name;
  std::function<fake::Scenario(Format)> scenario;
  Stage reached;  // the last request that reaches the service before the run fails
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

fake::Scenario with_override(Format format, Stage stage, fake::CannedResponse response) {
  fake::Scenario scenario = serve(one_sheet(registry_sheet({"serialnumber"}, {{"1"}})));
  scenario.overrides[path_of(format, stage)] = std::move(response);
  return scenario;
}

// A scenario that answers one stage with the given status and body, whatever the format.
std::function<fake::Scenario(Format)> answer(Stage stage, int status, std::string type,
                                             std::string body) {
  return [=](Format format) { return with_override(format, stage, {status, type, body}); };
}

std::function<fake::Scenario(Format)> model(fake::Model model) {
  return [=](Format) { return serve(model); };
}

const std::vector<FailureCase> kFailures = {
    {"SpreadsheetTitleDiffersInCase",
     model(one_sheet(registry_sheet({"serialnumber"}, {{"1"}}), "inventory")), Stage::spreadsheets},
    {"NoSpreadsheetHasTheTitle", model(fake::Model{}), Stage::spreadsheets},
    {"SpreadsheetEntryWithoutTitle",
     model(fake::Model{
         {fake::Spreadsheet{std::nullopt, "x", {}},
          fake::Spreadsheet{"Inventory", "inv", {registry_sheet({"serialnumber"}, {})}}}}),
     Stage::spreadsheets},
    {"WorksheetTitleInLowerCase",
     model(one_sheet(fake::Worksheet{"registry", {"serialnumber"}, {{"1"}}, true})),
     Stage::worksheets},
    {"TokenRequestRefused",
     answer(Stage::token, 400, "application/json", R"({"error":"invalid_grant"})"), Stage::token},
    {"TokenResponseWithoutToken",
     answer(Stage::token, 200, "application/json", R"({"token_type":"Bearer"})"), Stage::token},
    {"MalformedListFeed",
     [](Format format) {
       return with_override(
           format, Stage::list,
           format == Format::gdata
               ? fake::CannedResponse{200, "application/atom+xml",
                                      "<feed xmlns=\"http://www.w3.org/2005/Atom\"><entry>"}
               : fake::CannedResponse{200, "application/json",
                                      R"({"values":[["serialnumber"],["1")"});
     },
     Stage::list},
    {"ListFeedIsAnHtmlPage",
     answer(Stage::list, 200, "text/html", "<html><body>Sign in</body></html>"), Stage::list},
    {"ServerErrorOnSpreadsheets", answer(Stage::spreadsheets, 500, "text/plain", "oops"),
     Stage::spreadsheets},
    {"NotFoundOnWorksheets",
     answer(
         Stage::worksheets, 404, "application/json",
         R"({"error":{"code":404,"message":"Requested entity was not found.","status":"NOT_FOUND"}})"),
     Stage::worksheets},
    {"ErrorBodyOnList",
     answer(
         Stage::list, 400, "application/json",
         R"({"error":{"code":400,"message":"Unable to parse range","status":"INVALID_ARGUMENT"}})"),
     Stage::list},
    {"ForbiddenOnList", answer(Stage::list, 403, "text/plain", "no"), Stage::list},
    {"RedirectIsNotFollowed", answer(Stage::list, 302, "text/plain", ""), Stage::list},
};

class RetrievalFailureTest : public RetrievalFixture,
                             public testing::WithParamInterface<std::tuple<Format, FailureCase>> {
 protected:
  Format format() const override { return std::get<0>(GetParam()); }
  const FailureCase& failure() const { return std::get<1>(GetParam()); }
};

TEST_P(RetrievalFailureTest, FailsWithoutAPartialResult) {
  EXPECT_THROW(retrieve(failure().scenario(format())), Failure);
  EXPECT_EQ(requested_paths(), paths_up_to(format(), failure().reached));
}

std::string failure_test_name(const testing::TestParamInfo<std::tuple<Format, FailureCase>>& info) {
  return format_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RetrievalFailureTest,
                         testing::Combine(testing::Values(Format::gdata, Format::sheets_v4),
                                          testing::ValuesIn(kFailures)),
                         failure_test_name);

// Only the Atom feeds carry links of their own; the JSON format builds every address from
// the configured endpoints.
fake::Scenario worksheets_linking_to(const std::string& href) {
  return with_override(Format::gdata, Stage::worksheets,
                       {200, "application/atom+xml",
                        R"(<feed xmlns="http://www.w3.org/2005/Atom"><entry><title>Registry</title>
                           <link rel="http://schemas.google.com/spreadsheets/2006#listfeed" href=")" +
                            href + R"("/></entry></feed>)"});
}

const std::string kGdataListPath = "/feeds/list/inv/od6/private/full";

const std::vector<FailureCase> kAtomOnlyFailures = {
    {"WorksheetWithoutListFeedLink",
     model(one_sheet(fake::Worksheet{kWorksheetTitle, {"serialnumber"}, {{"1"}}, false})),
     Stage::worksheets},
    {"LinkToAnotherHostOnTheSamePort",
     [](Format) { return worksheets_linking_to("https://localhost:{{port}}" + kGdataListPath); },
     Stage::worksheets},
    {"LinkToAnotherPort",
     [](Format) { return worksheets_linking_to("https://127.0.0.1:1" + kGdataListPath); },
     Stage::worksheets},
    {"LinkOverPlainHttp",
     [](Format) { return worksheets_linking_to("http://127.0.0.1:{{port}}" + kGdataListPath); },
     Stage::worksheets},
    {"RelativeLink", [](Format) { return worksheets_linking_to(kGdataListPath); },
     Stage::worksheets},
};

INSTANTIATE_TEST_SUITE_P(AtomLinks, RetrievalFailureTest,
                         testing::Combine(testing::Values(Format::gdata),
                                          testing::ValuesIn(kAtomOnlyFailures)),
                         failure_test_name);

// Answers of the JSON APIs that are not what they seem: each must fail rather than pass for an
// empty or a different registry.
const std::vector<FailureCase> kJsonShapeFailures = {
    {"ValuesAnswerIsAnEmptyObject", answer(Stage::list, 200, "application/json", "{}"),
     Stage::list},
    {"ErrorObjectWithStatus200",
     answer(Stage::list, 200, "application/json",
            R"({"error":{"code":403,"message":"denied","status":"PERMISSION_DENIED"}})"),
     Stage::list},
    {"ValuesOfAnotherSheet",
     answer(Stage::list, 200, "application/json",
            R"({"range":"Other!A1:A2","majorDimension":"ROWS","values":[["serialnumber"],["1"]]})"),
     Stage::list},
    {"ValuesByColumns",
     answer(Stage::list, 200, "application/json",
            R"({"range":"'Registry'!A1:A2","majorDimension":"COLUMNS","values":[["serialnumber"]]})"),
     Stage::list},
    {"RepeatedMemberInValues",
     answer(Stage::list, 200, "application/json",
            R"({"range":"'Registry'!A1:A2","majorDimension":"ROWS","range":"'Registry'!A1:A2",)"
            R"("values":[["serialnumber"],["1"]]})"),
     Stage::list},
    {"RepeatedMemberInDrive",
     answer(Stage::spreadsheets, 200, "application/json",
            R"({"incompleteSearch":true,"incompleteSearch":false,"files":[{"id":"inv",)"
            R"("name":"Inventory"}]})"),
     Stage::spreadsheets},
    {"RepeatedMemberInSheets",
     answer(Stage::worksheets, 200, "application/json",
            R"({"sheets":[{"properties":{"title":"Registry","title":"Other"}}]})"),
     Stage::worksheets},
    {"RepeatedMemberInToken",
     answer(Stage::token, 200, "application/json", R"({"access_token":"a","access_token":"b"})"),
     Stage::token},
};

INSTANTIATE_TEST_SUITE_P(JsonShapes, RetrievalFailureTest,
                         testing::Combine(testing::Values(Format::sheets_v4),
                                          testing::ValuesIn(kJsonShapeFailures)),
                         failure_test_name);

// Drive answers a search a page at a time, and may answer with empty or partial pages before
// the end: the search follows the pages, across every drive, until one holds the title.
class DriveSearchTest : public RetrievalFixture {
 protected:
  Format format() const override { return Format::sheets_v4; }

  std::vector<std::string> drive_queries() const {
    std::vector<std::string> queries;
    for (const auto& request : service().requests()) {
      if (request.path == path_of(Format::sheets_v4, Stage::spreadsheets)) {
        queries.push_back(request.query);
      }
    }
    return queries;
  }
};

fake::Spreadsheet spreadsheet(std::string title, std::string id, std::string serial) {
  return fake::Spreadsheet{
      std::move(title), std::move(id), {registry_sheet({"serialnumber"}, {{std::move(serial)}})}};
}

TEST_F(DriveSearchTest, FollowsEmptyAndPartialPagesToTheFirstExactTitle) {
  fake::Scenario scenario = serve(fake::Model{{spreadsheet("inventory", "low", "wrong case"),
                                               spreadsheet("Inventory", "inv", "first"),
                                               spreadsheet("Inventory", "later", "second")}});
  scenario.drive_pages = {0, 1};
  EXPECT_EQ(retrieve(scenario), (RegistryRecordList{{u"first", {}}}));
  const std::vector<std::string> queries = drive_queries();
  ASSERT_EQ(queries.size(), 3u);
  EXPECT_EQ(queries[0].find("pageToken="), std::string::npos);
  EXPECT_NE(queries[1].find("&pageToken="), std::string::npos);
  EXPECT_NE(queries[2].find("&pageToken="), std::string::npos);
  EXPECT_NE(queries[1], queries[2]);
}

TEST_F(DriveSearchTest, StopsAtThePageThatHoldsTheTitle) {
  fake::Scenario scenario = serve(fake::Model{{spreadsheet("Inventory", "inv", "first"),
                                               spreadsheet("Inventory", "b", "second"),
                                               spreadsheet("Inventory", "c", "third")}});
  scenario.drive_pages = {1, 1};
  EXPECT_EQ(retrieve(scenario), (RegistryRecordList{{u"first", {}}}));
  EXPECT_EQ(drive_queries().size(), 1u);
}

TEST_F(DriveSearchTest, FindsASpreadsheetInASharedDrive) {
  fake::Spreadsheet shared = spreadsheet("Inventory", "inv", "shared");
  shared.in_shared_drive = true;
  EXPECT_EQ(retrieve(fake::Model{{shared}}), (RegistryRecordList{{u"shared", {}}}));
}

TEST_F(DriveSearchTest, AnIncompleteSearchOrEndlessPagesFail) {
  fake::Scenario incomplete = serve(fake::Model{{spreadsheet("Inventory", "inv", "1")}});
  incomplete.drive_incomplete_search = true;
  try {
    retrieve(incomplete);
    ADD_FAILURE() << "an incomplete search was taken for a whole one";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(),
                 "spreadsheets query: Drive searched only some of the drives; name the "
                 "spreadsheet by its ID");
  }
  fake::Scenario endless = serve(fake::Model{{spreadsheet("Inventory", "inv", "1")}});
  endless.drive_pages.assign(sheets_v4::kMaxDrivePages, 0);
  service().clear_requests();
  EXPECT_THROW(retrieve(endless), Failure);
  EXPECT_EQ(drive_queries().size(), static_cast<std::size_t>(sheets_v4::kMaxDrivePages));
}

// What a user can act on is said in the failure: which address to share the spreadsheet with,
// and which API the project must enable.
struct CauseCase {
  const char* name;
  Stage stage;  // answered with the refusal, or with no spreadsheet when refusal is nullopt
  std::optional<fake::CannedResponse> refusal;
  std::string message;
  friend void PrintTo(const CauseCase& c, std::ostream* os) { *os << c.name; }
};

class ActionableCauseTest : public DriveSearchTest,
                            public testing::WithParamInterface<CauseCase> {};

TEST_P(ActionableCauseTest, SaysWhatToDo) {
  const CauseCase& c = GetParam();
  fake::Scenario scenario = serve(fake::Model{{spreadsheet("Inventory", "inv", "1")}});
  if (c.refusal) {
    scenario.scripted[path_of(Format::sheets_v4, c.stage)] = {*c.refusal};
  } else {
    scenario.model = fake::Model{{spreadsheet("Other", "inv", "1")}};
  }
  try {
    retrieve(scenario);
    ADD_FAILURE() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.what(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Causes, ActionableCauseTest,
    testing::Values(
        CauseCase{"NothingSharedWithTheAccount", Stage::spreadsheets, std::nullopt,
                  "spreadsheet search: no spreadsheet titled \"Inventory\" is shared with "
                  "registry-reader@registry-project.iam.gserviceaccount.com: share it with that "
                  "address (Viewer is enough)"},
        CauseCase{"DriveApiNotEnabled", Stage::spreadsheets,
                  fake::v4_error(403, "PERMISSION_DENIED", "Access Not Configured.",
                                 {"accessNotConfigured"}),
                  "spreadsheets query: HTTP 403: the Google Drive API (drive.googleapis.com) is "
                  "not enabled in the service account's project: enable it there"},
        CauseCase{"SheetsApiDisabled", Stage::worksheets,
                  fake::v4_error(403, "PERMISSION_DENIED", "has not been used", {},
                                 {"SERVICE_DISABLED"}, "sheets.googleapis.com"),
                  "worksheets query: HTTP 403: the Google Sheets API (sheets.googleapis.com) is "
                  "not enabled in the service account's project: enable it there"},
        CauseCase{
            "SheetsApiDisabledForTheValues", Stage::list,
            fake::v4_error(403, "PERMISSION_DENIED", "has not been used", {}, {"SERVICE_DISABLED"}),
            "list query: HTTP 403: the Google Sheets API (sheets.googleapis.com) is not "
            "enabled in the service account's project: enable it there"},
        CauseCase{"AnotherForbiddenSaysOnlyItsStatus", Stage::list,
                  fake::v4_error(403, "PERMISSION_DENIED", "The caller does not have permission",
                                 {"forbidden"}),
                  "list query: HTTP 403"}),
    [](const testing::TestParamInfo<CauseCase>& info) { return info.param.name; });

// Drive refuses bursts with a 403 that names a rate limit; with retries asked for, the search is
// tried again after the wait, and without them the run fails at once.
TEST_F(DriveSearchTest, ARateLimitedSearchIsTriedAgainWhenTheBuildAsks) {
  fake::Scenario scenario = serve(fake::Model{{spreadsheet("Inventory", "inv", "1")}});
  scenario.scripted[path_of(Format::sheets_v4, Stage::spreadsheets)] = {
      fake::v4_error(403, "PERMISSION_DENIED", "Rate Limit Exceeded", {"userRateLimitExceeded"})};
  service().set_scenario(scenario);
  EXPECT_THROW(retrieve_registry(config()), Failure);

  testing_support::RecordingRetryClock clock;
  RegistryClientConfig retrying = config();
  retrying.retries = 2;
  retrying.retry_clock = &clock;
  service().set_scenario(scenario);
  service().clear_requests();
  EXPECT_EQ(retrieve_registry(retrying), (RegistryRecordList{{u"1", {}}}));
  EXPECT_EQ(clock.waits, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(1250)});
  EXPECT_EQ(drive_queries().size(), 2u);
}

// Named by its ID, the spreadsheet is read without Drive, with the Sheets scope alone.
class SpreadsheetByIdTest : public RetrievalFixture {
 protected:
  Format format() const override { return Format::sheets_v4; }
  fake::FakeService& sheets_only() const {
    static std::unique_ptr<fake::FakeService> service = [] {
      fake::ServiceOptions options;
      options.pki_dir = kPki;
      options.scope = "https://www.googleapis.com/auth/spreadsheets.readonly";
      auto started = std::make_unique<fake::FakeService>(options);
      started->start();
      return started;
    }();
    return *service;
  }
  RegistryRecordList read(std::string id, std::string title) {
    sheets_only().clear_requests();
    sheets_only().set_scenario(serve(fake::Model{
        {spreadsheet("Other", "other", "not this"), spreadsheet("Inventory", "inv", "by id")}}));
    RegistryClientConfig by_id = config();
    by_id.token_uri = sheets_only().token_uri();
    by_id.drive_files_uri = sheets_only().drive_files_uri();
    by_id.sheets_uri = sheets_only().sheets_uri();
    by_id.spreadsheet_id = std::move(id);
    by_id.spreadsheet_title = std::move(title);
    return retrieve_registry(by_id);
  }
  std::vector<std::string> paths() const {
    std::vector<std::string> paths;
    for (const auto& request : sheets_only().requests()) paths.push_back(request.path);
    return paths;
  }
};

TEST_F(SpreadsheetByIdTest, ReadsItWithoutAskingDrive) {
  EXPECT_EQ(read("inv", "Inventory"), (RegistryRecordList{{u"by id", {}}}));
  EXPECT_EQ(paths(), (std::vector<std::string>{"/token", "/v4/spreadsheets/inv",
                                               "/v4/spreadsheets/inv/values/%27Registry%27"}));
  EXPECT_EQ(read("other", ""), (RegistryRecordList{{u"not this", {}}}));
}

TEST_F(SpreadsheetByIdTest, AWrongIdFailsInsteadOfReadingAnotherSheet) {
  try {
    read("other", "Inventory");
    ADD_FAILURE() << "read a spreadsheet of another title";
  } catch (const Failure& failure) {
    EXPECT_STREQ(
        failure.what(),
        "spreadsheets query: the spreadsheet other is titled \"Other\", not \"Inventory\"");
  }
  EXPECT_EQ(paths(), (std::vector<std::string>{"/token", "/v4/spreadsheets/other"}));
  EXPECT_THROW(read("nope", "Inventory"), Failure);
}

// The registry worksheet's title is fixed, so a title that needs quoting is followed through
// the feeds directly: the range must reach the service as one correctly quoted segment.
TEST(SheetsV4ServiceTest, SheetTitleWithQuoteAndSpaceIsOneQuotedRange) {
  fake::FakeService& fake = service_for(Format::sheets_v4);
  fake.set_scenario(serve(fake::Model{{fake::Spreadsheet{
      "Inventory",
      "inv",
      {fake::Worksheet{"Bob's Sheet", {"serialnumber", "name"}, {{"S1", "kit"}}, true}}}}}));
  fake.clear_requests();
  HttpClient http(testing_support::test_http_options(kPki + "/ca.pem"));
  const std::unique_ptr<SpreadsheetsService> service = make_spreadsheets_service(
      "sheets-v4", {"", fake.drive_files_uri(), fake.sheets_uri()}, "", http);

  ServiceAccountCredentialInitializer initializer(
      "registry-reader@registry-project.iam.gserviceaccount.com", fake.token_uri(), http);
  initializer.scopes = service->scopes();
  initializer.from_certificate(
      X509Certificate2(kPki + "/sa-legacy.p12", "notasecret", KeyStorageFlags::exportable));
  ServiceAccountCredential credential(std::move(initializer));
  credential.request_access_token();
  GDataRequestFactory factory;
  factory.add_custom_header(kAuthorizationHeaderPrefix + credential.token()->access_token);

  service->set_request_factory(factory);
  const Feed spreadsheets = service->query(SpreadsheetQuery{"Inventory"});
  ASSERT_EQ(spreadsheets.entries.size(), 1u);
  const Feed sheets = service->query_worksheets(spreadsheets.entries[0]);
  const FeedEntry* sheet = find_work_sheet(sheets, "Bob's Sheet");
  ASSERT_NE(sheet, nullptr);
  const Feed rows = service->query(ListQuery(sheet->find_link(kListFeedRel)->href));
  ASSERT_EQ(rows.entries.size(), 1u);
  EXPECT_EQ(to_record(rows.entries[0]), (RegistryRecord{u"S1", {{"name", "kit"}}}));
  EXPECT_EQ(fake.requests().back().path, "/v4/spreadsheets/inv/values/%27Bob%27%27s%20Sheet%27");
}

}  // namespace
}  // namespace kolvo
