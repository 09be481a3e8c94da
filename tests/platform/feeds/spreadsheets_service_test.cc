// The choice of wire format, made in one place, and what every format shares.
#include "platform/feeds/spreadsheets_service.h"

#include <gtest/gtest.h>

#include "http_options.h"
#include "platform/failure/failure.h"

namespace kolvo {
namespace {

const ServiceEndpoints kEndpoints{"https://127.0.0.1:1/feeds/spreadsheets/private/full",
                                  "https://127.0.0.1:1/drive/v3/files",
                                  "https://127.0.0.1:1/v4/spreadsheets"};

TEST(MakeSpreadsheetsServiceTest, EachFormatAsksForItsOwnScopes) {
  HttpClient http(testing_support::test_http_options());
  EXPECT_EQ(make_spreadsheets_service("gdata", kEndpoints, "", http)->scopes(),
            std::vector<std::string>{"https://spreadsheets.google.com/feeds"});
  EXPECT_EQ(make_spreadsheets_service("sheets-v4", kEndpoints, "", http)->scopes(),
            (std::vector<std::string>{"https://www.googleapis.com/auth/spreadsheets.readonly",
                                      "https://www.googleapis.com/auth/drive.metadata.readonly"}));
}

// Named by its ID, the spreadsheet is read without Drive: neither Drive's scope nor its address
// is needed.
TEST(MakeSpreadsheetsServiceTest, ASpreadsheetIdNeedsOnlySheets) {
  HttpClient http(testing_support::test_http_options());
  EXPECT_EQ(make_spreadsheets_service("sheets-v4", kEndpoints, "1AbC", http)->scopes(),
            std::vector<std::string>{"https://www.googleapis.com/auth/spreadsheets.readonly"});
  EXPECT_NO_THROW(make_spreadsheets_service(
      "sheets-v4", {"", "http://127.0.0.1:1/drive", kEndpoints.sheets_uri}, "1AbC", http));
  EXPECT_THROW(make_spreadsheets_service("gdata", kEndpoints, "1AbC", http), Failure);
}

TEST(MakeSpreadsheetsServiceTest, RefusesAnUnknownFormatAndAnAddressThatIsNotHttps) {
  HttpClient http(testing_support::test_http_options());
  for (const char* format : {"", "GData", "sheets_v4", "sheets-v5"}) {
    EXPECT_THROW(make_spreadsheets_service(format, kEndpoints, "", http), Failure) << format;
  }
  struct Case {
    const char* format;
    ServiceEndpoints endpoints;
  };
  for (const Case& c :
       {Case{"gdata", {"http://127.0.0.1:1/feeds", "", ""}},
        Case{"sheets-v4", {"", "https://127.0.0.1:1/d", "http://127.0.0.1:1/v4"}},
        Case{"sheets-v4", {"", "http://127.0.0.1:1/d", "https://127.0.0.1:1/v4"}}}) {
    EXPECT_THROW(make_spreadsheets_service(c.format, c.endpoints, "", http), Failure) << c.format;
  }
  // Each format looks only at its own addresses.
  EXPECT_NO_THROW(
      make_spreadsheets_service("gdata", {kEndpoints.spreadsheets_feed_uri, "x", ""}, "", http));
  EXPECT_NO_THROW(make_spreadsheets_service(
      "sheets-v4", {"x", kEndpoints.drive_files_uri, kEndpoints.sheets_uri}, "", http));
}

TEST(GDataRequestFactoryTest, SendsOnlyTheHeadersAddedAndNoUserAgentByDefault) {
  GDataRequestFactory factory;
  factory.add_custom_header("Authorization: Bearer t");
  EXPECT_EQ(factory.headers(), std::vector<std::string>{"Authorization: Bearer t"});
  GDataRequestFactory named("registry-list");
  EXPECT_EQ(named.headers(), std::vector<std::string>{"User-Agent: registry-list"});
}

}  // namespace
}  // namespace kolvo
