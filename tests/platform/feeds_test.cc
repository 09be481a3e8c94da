#include "platform/feeds/feeds.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "http_options.h"
#include "platform/failure/failure.h"

namespace kolvo {
namespace {

constexpr char kListFeed[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<feed xmlns="http://www.w3.org/2005/Atom"
      xmlns:gsx="http://schemas.google.com/spreadsheets/2006/extended">
  <title>Registry</title>
  <link rel="self" href="https://example.test/feed"/>
  <entry>
    <title type="text">SN-1</title>
    <content type="text">ignored</content>
    <gsx:serialnumber>SN-1</gsx:serialnumber>
    <gsx:name>Dr&#252;ck &amp; &lt;Co&gt; &quot;x&quot; &#x1F4E6;</gsx:name>
    <gsx:notes><![CDATA[a <b> & c]]></gsx:notes>
    <gsx:empty/>
  </entry>
</feed>)";

TEST(AtomFeedParserTest, ReadsTitlesLinksAndDecodedCells) {
  const Feed feed = parse_atom_feed(kListFeed);
  ASSERT_EQ(feed.entries.size(), 1u);
  const FeedEntry& entry = feed.entries[0];
  EXPECT_EQ(entry.title, "SN-1");
  ASSERT_EQ(entry.elements.size(), 4u);
  EXPECT_EQ(entry.elements[0].local_name, "serialnumber");
  EXPECT_EQ(entry.elements[1].value,
            "Dr\xC3\xBC"
            "ck & <Co> \"x\" \xF0\x9F\x93\xA6");
  EXPECT_EQ(entry.elements[2].value, "a <b> & c");
  EXPECT_EQ(entry.elements[3].local_name, "empty");
  EXPECT_EQ(entry.elements[3].value, "");
  EXPECT_TRUE(entry.links.empty()) << "feed-level links must not be taken as entry links";
}

TEST(AtomFeedParserTest, ResolvesPrefixesFromDeclarationsNotFromTheirSpelling) {
  // Atom under a prefix, the extended namespace under another, and an impostor "gsx" prefix
  // bound to a foreign namespace whose cells must be ignored.
  const Feed feed = parse_atom_feed(R"(<a:feed xmlns:a="http://www.w3.org/2005/Atom"
      xmlns:x="http://schemas.google.com/spreadsheets/2006/extended"
      xmlns:gsx="urn:not-the-sheet">
    <a:entry><a:title>T</a:title>
      <a:link rel="r" href="https://h/x"/>
      <x:serialnumber>1</x:serialnumber><gsx:fake>no</gsx:fake>
      <title>not atom</title>
    </a:entry></a:feed>)");
  ASSERT_EQ(feed.entries.size(), 1u);
  EXPECT_EQ(feed.entries[0].title, "T");
  ASSERT_EQ(feed.entries[0].elements.size(), 1u);
  EXPECT_EQ(feed.entries[0].elements[0].local_name, "serialnumber");
  ASSERT_NE(feed.entries[0].find_link("r"), nullptr);
  EXPECT_EQ(feed.entries[0].find_link("r")->href, "https://h/x");
}

TEST(AtomFeedParserTest, DistinguishesMissingFromEmptyTitle) {
  const Feed feed = parse_atom_feed(R"(<feed xmlns="http://www.w3.org/2005/Atom">
    <entry><id>1</id></entry><entry><title/></entry><entry><title>a<b>c</b></title></entry>
  </feed>)");
  ASSERT_EQ(feed.entries.size(), 3u);
  EXPECT_FALSE(feed.entries[0].title.has_value());
  EXPECT_EQ(feed.entries[1].title, "");
  EXPECT_EQ(feed.entries[2].title, "ac");
}

TEST(AtomFeedParserTest, FindLinkReturnsTheFirstWithTheExactRelation) {
  const Feed feed = parse_atom_feed(R"(<feed xmlns="http://www.w3.org/2005/Atom"><entry>
    <link rel="http://schemas.google.com/spreadsheets/2006#listfeedX" href="https://h/wrong"/>
    <link rel="http://schemas.google.com/spreadsheets/2006#listfeed" href="https://h/1"/>
    <link rel="http://schemas.google.com/spreadsheets/2006#listfeed" href="https://h/2"/>
  </entry></feed>)");
  ASSERT_NE(feed.entries[0].find_link(kListFeedRel), nullptr);
  EXPECT_EQ(feed.entries[0].find_link(kListFeedRel)->href, "https://h/1");
  EXPECT_EQ(feed.entries[0].find_link(kWorksheetsFeedRel), nullptr);
}

TEST(AtomFeedParserTest, GivesTheSameFeedWhateverTheChunking) {
  const std::string document = kListFeed;
  const Feed whole = parse_atom_feed(document);
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
    AtomFeedParser parser;
    for (std::size_t at = 0; at < document.size(); at += piece) {
      parser.parse(std::string_view(document).substr(at, piece));
    }
    const Feed chunked = parser.finish();
    ASSERT_EQ(chunked.entries.size(), 1u);
    EXPECT_EQ(chunked.entries[0].elements.size(), whole.entries[0].elements.size());
    for (std::size_t i = 0; i < whole.entries[0].elements.size(); ++i) {
      EXPECT_EQ(chunked.entries[0].elements[i].value, whole.entries[0].elements[i].value);
    }
  }
}

TEST(AtomFeedParserTest, HonoursTheDeclaredEncodingAndGivesUtf8) {
  const Feed feed = parse_atom_feed(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
      "<feed xmlns=\"http://www.w3.org/2005/Atom\"><entry><title>Z\xFCrich</title></entry></feed>");
  ASSERT_EQ(feed.entries.size(), 1u);
  EXPECT_EQ(feed.entries[0].title, "Z\xC3\xBCrich");
}

TEST(AtomFeedParserTest, HandsEachEntryToTheSinkAndKeepsNone) {
  const std::string document = R"(<feed xmlns="http://www.w3.org/2005/Atom"
      xmlns:gsx="http://schemas.google.com/spreadsheets/2006/extended">
    <entry><title>1</title><gsx:a>x</gsx:a><gsx:b>y</gsx:b></entry>
    <entry><title>2</title><gsx:a></gsx:a></entry>
    <entry><gsx:b>z</gsx:b><gsx:a>w</gsx:a><gsx:c>v</gsx:c></entry></feed>)";
  std::vector<std::string> seen;
  AtomFeedParser parser([&](const FeedEntry& entry) {
    std::string row = entry.title.value_or("(none)") + ":";
    for (const ListElement& element : entry.elements) {
      row += element.local_name + "=" + element.value + ";";
    }
    seen.push_back(row);
  });
  parser.parse(document);
  EXPECT_TRUE(parser.finish().entries.empty());
  EXPECT_EQ(seen, (std::vector<std::string>{"1:a=x;b=y;", "2:a=;", "(none):b=z;a=w;c=v;"}));
}

TEST(AtomFeedParserTest, AThrowFromTheSinkEndsTheParseAndIsRethrown) {
  AtomFeedParser parser([](const FeedEntry&) { throw std::length_error("full"); });
  EXPECT_THROW(parser.parse(R"(<feed xmlns="http://www.w3.org/2005/Atom"><entry/><entry/>)"),
               std::length_error);
}

TEST(AtomFeedParserTest, DeepNestingIsParsedWithoutRecursion) {
  constexpr int kDepth = 100000;
  std::string document = R"(<feed xmlns="http://www.w3.org/2005/Atom"><entry><title>t</title>)";
  for (int i = 0; i < kDepth; ++i) document += "<x>";
  for (int i = 0; i < kDepth; ++i) document += "</x>";
  document += "</entry></feed>";
  const Feed feed = parse_atom_feed(document);
  ASSERT_EQ(feed.entries.size(), 1u);
  EXPECT_EQ(feed.entries[0].title, "t");
}

struct RejectedCase {
  const char* name;
  friend void PrintTo(const RejectedCase& c, std::ostream* os) { *os << c.name; }
  std::string document;
};

class AtomFeedRejectionTest : public testing::TestWithParam<RejectedCase> {};

TEST_P(AtomFeedRejectionTest, Throws) {
  EXPECT_THROW(parse_atom_feed(GetParam().document), Failure);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, AtomFeedRejectionTest,
    testing::Values(
        RejectedCase{"Empty", ""},
        RejectedCase{"Truncated", R"(<feed xmlns="http://www.w3.org/2005/Atom"><entry>)"},
        RejectedCase{"NotAtom", "<feed><entry/></feed>"},
        RejectedCase{"HtmlErrorPage", "<html><body>502</body></html>"},
        RejectedCase{"UndefinedEntity",
                     R"(<feed xmlns="http://www.w3.org/2005/Atom"><title>&nbsp;</title></feed>)"},
        RejectedCase{"InvalidUtf8",
                     "<feed xmlns=\"http://www.w3.org/2005/Atom\"><title>\xC3(</title></feed>"},
        RejectedCase{"Doctype",
                     "<!DOCTYPE feed><feed xmlns=\"http://www.w3.org/2005/Atom\"></feed>"},
        RejectedCase{"EntityBomb",
                     R"(<!DOCTYPE feed [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;">]>
                        <feed xmlns="http://www.w3.org/2005/Atom"><title>&b;</title></feed>)"},
        RejectedCase{"ExternalEntity",
                     R"(<!DOCTYPE feed [<!ENTITY x SYSTEM "file:///etc/hostname">]>
                        <feed xmlns="http://www.w3.org/2005/Atom"><title>&x;</title></feed>)"},
        RejectedCase{"TrailingGarbage",
                     R"(<feed xmlns="http://www.w3.org/2005/Atom"></feed><feed/>)"}),
    [](const testing::TestParamInfo<RejectedCase>& info) { return info.param.name; });

TEST(SpreadsheetsServiceTest, RefusesAServiceUriThatIsNotHttps) {
  HttpClient http(testing_support::test_http_options());
  EXPECT_THROW(SpreadsheetsService(
                   FeedEndpoints{FeedFormat::gdata, "http://127.0.0.1:1/feeds", "", ""}, http),
               Failure);
  EXPECT_THROW(SpreadsheetsService(FeedEndpoints{FeedFormat::sheets_v4, "", "https://127.0.0.1:1/d",
                                                 "http://127.0.0.1:1/v4"},
                                   http),
               Failure);
}

TEST(GDataRequestFactoryTest, SendsOnlyTheHeadersAddedAndNoUserAgentByDefault) {
  GDataRequestFactory factory;
  factory.add_custom_header("Authorization: Bearer t");
  EXPECT_EQ(factory.headers(), std::vector<std::string>{"Authorization: Bearer t"});
}

}  // namespace
}  // namespace kolvo
