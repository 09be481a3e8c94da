// The loopback builds, run as processes, against answers broken on purpose: transport faults from
// the scripted fault server, refusals and hostile documents from the fake service, certificates
// that must not be trusted. Whatever happens, a run has to end within the build's time limits,
// with bounded memory, printing exactly the failure output and nothing on standard error.
//
// Every run prints one line
//   FAULT|<case>|<format>|<mode>|<outcome>|<ms>|<peak RSS KiB>|<RSS bound KiB>|<ms bound>
// and appends it to the file named by REGISTRY_FAULT_REPORT, when that is set.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fake_service.h"
#include "fault_server.h"
#include "feed_paths.h"
#include "run_process.h"

namespace {

#ifdef REGISTRY_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;
using testing_support::Format;
using testing_support::path_of;
using testing_support::paths_up_to;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::run_process;
using testing_support::Stage;

const std::string kPki = TEST_PKI_DIR;
const std::string kPublicBase = "https://127.0.0.1:" + std::to_string(TEST_PORT);

// The limits the loopback builds are made with.
constexpr milliseconds kStallLimit = seconds(LOOPBACK_STALL_SECONDS);
constexpr milliseconds kDeadline = seconds(LOOPBACK_DEADLINE_SECONDS);
// What a run may take besides the limit that is meant to end it: start-up, key file, sign-in
// and the requests before the faulted one, on a busy machine.
constexpr milliseconds kSlack{2500};
// How far from its limit a stall or a drip may be ended: the deadline runs from the start of
// the request, a little before the fault server sends the head; and the transfer is looked at
// about once a second, so a limit may be noticed up to a second late.
constexpr milliseconds kLimitEarly{500};
constexpr milliseconds kLimitLate{1500};
// Peak RSS allowed to any run: this, plus three times the largest body served to it.
constexpr long kBaseRssKib = 64 * 1024;

constexpr char kAtomType[] = "application/atom+xml; charset=UTF-8";
constexpr char kJsonType[] = "application/json; charset=UTF-8";
constexpr char kAtomStart[] =
    "<?xml version='1.0' encoding='UTF-8'?>"
    "<feed xmlns=\"http://www.w3.org/2005/Atom\""
    " xmlns:gsx=\"http://schemas.google.com/spreadsheets/2006/extended\">";

enum class Mode { listing, json };

std::string mode_name(Mode mode) { return mode == Mode::listing ? "Listing" : "Json"; }

void PrintTo(Mode mode, std::ostream* os) { *os << mode_name(mode); }

// ---------------------------------------------------------------------------------------------
// What is served.

const std::vector<std::string> kHeader = {"Serial Number", "Name", "Location"};

// The two rows every successful run must print, then `extra` more rows that only make the
// list answer long enough for a fault to land in the middle of whole entries.
fake::Model registry_model(std::size_t extra) {
  fake::Worksheet registry{"Registry",
                           kHeader,
                           {{"SN\\0042", "Drill \"XL\"", "Z\xC3\xBCrich, Hall 2"},
                            {"SN-0043", "Pump & <Valve>", "\xE6\x9D\xB1\xE4\xBA\xAC"}},
                           true};
  for (std::size_t i = 0; i < extra; ++i) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "SN-%06zu", i);
    registry.rows.push_back({serial, "Spare part", "Store room"});
  }
  return fake::Model{{fake::Spreadsheet{"Inventory", "inv", {registry}}}};
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

constexpr char kFailPlain[] = "[Fail]\n";
constexpr char kFailJson[] = "[\n]";

// A gzip member that inflates to `prefix` followed by `spaces` spaces, made in one pass.
std::string gzip_bomb(std::string_view prefix, std::size_t spaces) {
  z_stream zs{};
  // Run-length matching is all a run of one byte needs, and it is the fastest strategy.
  if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_RLE) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out;
  std::vector<unsigned char> buffer(256 * 1024);
  auto pump = [&](const char* data, std::size_t size, int flush) {
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    zs.avail_in = static_cast<uInt>(size);
    int rc;
    do {
      zs.next_out = buffer.data();
      zs.avail_out = static_cast<uInt>(buffer.size());
      rc = deflate(&zs, flush);
      if (rc == Z_STREAM_ERROR || out.size() > (std::size_t{16} << 20)) {
        throw std::runtime_error("deflate failed");
      }
      out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - zs.avail_out);
    } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  };
  pump(prefix.data(), prefix.size(), Z_NO_FLUSH);
  const std::string blanks(1 << 20, ' ');
  for (std::size_t left = spaces; left > 0;) {
    const std::size_t n = std::min(left, blanks.size());
    pump(blanks.data(), n, Z_NO_FLUSH);
    left -= n;
  }
  pump(nullptr, 0, Z_FINISH);
  deflateEnd(&zs);
  return out;
}

// Well past the 256 MiB the program may inflate.
constexpr std::size_t kBombSpaces = std::size_t{300} << 20;

const std::string& bomb_for(Format format) {
  // Made once per process: it takes a moment and is about 300 KB.
  static std::map<Format, std::string> made;
  auto it = made.find(format);
  if (it == made.end()) {
    const std::string prefix = format == Format::gdata
                                   ? std::string(
                                         "<?xml version='1.0' encoding='UTF-8'?>"
                                         "<feed xmlns=\"http://www.w3.org/2005/Atom\">")
                                   : std::string("{\"values\":");
    it = made.emplace(format, gzip_bomb(prefix, kBombSpaces)).first;
  }
  return it->second;
}

std::string random_hex() {
  std::random_device device;
  std::string out;
  for (int i = 0; i < 4; ++i) {
    char part[16];
    std::snprintf(part, sizeof part, "%08x", device());
    out += part;
  }
  return out;
}

// An error answer shaped like the real one at that step.
fake::CannedResponse refusal(Format format, Stage stage, int status) {
  const std::string code = std::to_string(status);
  if (stage == Stage::token) {
    return {status, "application/json; charset=utf-8",
            "{\"error\":\"refused_" + code + "\",\"error_description\":\"refused\"}"};
  }
  if (format == Format::sheets_v4) {
    return {status, kJsonType,
            "{\"error\":{\"code\":" + code + ",\"message\":\"refused\",\"status\":\"REFUSED\"}}"};
  }
  return {
      status, "text/html; charset=UTF-8",
      "<HTML><HEAD><TITLE>" + code + "</TITLE></HEAD><BODY><H1>" + code + "</H1></BODY></HTML>"};
}

// ---------------------------------------------------------------------------------------------
// Cases.

enum class Expect {
  failure,             // exactly the failure output
  listing,             // exactly the expected listing
  listing_or_failure,  // input that is odd but well-formed: either of the two, nothing else
};

// Which of the build's limits, if any, is expected to end the run.
enum class Timing {
  prompt,    // none: the run must end before the stall limit could even have tripped
  inflate,   // none, but 256 MiB are inflated first: well within the deadline all the same
  stall,     // the stall limit, not the deadline
  deadline,  // the whole-request deadline
};

// What one case serves.
struct Script {
  fake::Scenario scenario{registry_model(0), {}};
  std::map<std::string, fault::Fault> faults;     // broken by the fault server
  std::map<std::string, fault::Response> canned;  // answered by the fault server itself
  std::map<std::string, std::string> aliases;     // passed upstream under another path
  std::string tls_cert;          // when set: the fake itself on the port, with this certificate
  std::optional<Expect> expect;  // when set, replaces the case's expectation for this format
  std::string expected_plain = kSamplePlain;
  std::string expected_json = kSampleJson;
  std::vector<std::string> never_requested;
  std::string secret;    // must not appear in anything the program prints
  fs::path secret_file;  // removed after the run
};

struct FaultCase {
  std::string name;
  std::function<Script(Format)> script;
  std::optional<Stage> faulted;  // the request answered badly: made, and nothing after it
  Expect expect = Expect::failure;
  Timing timing = Timing::prompt;
  friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

Script stream_fault(Format format, Stage stage, fault::Fault fault) {
  Script script;
  // A list answer of about a megabyte (some kilobytes when gzipped), so that half of it holds
  // many complete rows: none of them may ever be printed.
  script.scenario.model = registry_model(2000);
  script.faults[path_of(format, stage)] = fault;
  return script;
}

FaultCase stream_case(std::string name, Stage stage, fault::Fault fault,
                      Timing timing = Timing::prompt) {
  return {std::move(name),
          [stage, fault](Format format) { return stream_fault(format, stage, fault); }, stage,
          Expect::failure, timing};
}

FaultCase list_answer_case(std::string name, std::function<fake::CannedResponse(Format)> answer) {
  return {std::move(name),
          [answer](Format format) {
            Script script;
            script.scenario.overrides[path_of(format, Stage::list)] = answer(format);
            return script;
          },
          Stage::list};
}

FaultCase token_answer_case(std::string name, std::string content_type, std::string body) {
  return {std::move(name),
          [content_type, body](Format) {
            Script script;
            script.scenario.overrides["/token"] = {200, content_type, body};
            return script;
          },
          Stage::token};
}

FaultCase tls_case(std::string name, std::string cert) {
  return {std::move(name),
          [cert](Format) {
            Script script;
            script.tls_cert = cert;
            return script;
          },
          std::nullopt};
}

std::vector<FaultCase> transport_cases() {
  using fault::Fault;
  return {
      stream_case("ResetMidBodyToken", Stage::token, Fault::reset),
      stream_case("ResetMidBodyList", Stage::list, Fault::reset),
      stream_case("ShortBodyList", Stage::list, Fault::short_body),
      stream_case("TruncatedChunkedList", Stage::list, Fault::truncated_chunked),
      stream_case("StalledBodyList", Stage::list, Fault::stall, Timing::stall),
      stream_case("SlowDripList", Stage::list, Fault::drip, Timing::deadline),
  };
}

std::vector<FaultCase> status_cases() {
  std::vector<FaultCase> cases;
  const std::pair<Stage, const char*> stages[] = {{Stage::token, "Token"},
                                                  {Stage::spreadsheets, "Spreadsheets"},
                                                  {Stage::worksheets, "Worksheets"},
                                                  {Stage::list, "List"}};
  for (const int status : {401, 403, 404, 429, 500, 503}) {
    for (const auto& [stage, stage_name] : stages) {
      cases.push_back({"Http" + std::to_string(status) + stage_name,
                       [stage, status](Format format) {
                         Script script;
                         script.scenario.overrides[path_of(format, stage)] =
                             refusal(format, stage, status);
                         return script;
                       },
                       stage});
    }
  }
  return cases;
}

std::vector<FaultCase> document_cases() {
  std::vector<FaultCase> cases;

  // A redirect to the very answer the program asked for: following it would succeed, so only
  // a program that does not follow redirects fails here.
  cases.push_back({"RedirectNotFollowed",
                   [](Format format) {
                     Script script;
                     const std::string list = path_of(format, Stage::list);
                     const std::string moved = "/moved" + list;
                     const std::string query =
                         format == Format::sheets_v4 ? "?majorDimension=ROWS" : "";
                     fault::Response redirect;
                     redirect.status = 302;
                     redirect.headers = {{"Location", kPublicBase + moved + query},
                                         {"Content-Type", "text/html; charset=UTF-8"}};
                     redirect.body = "<HTML><BODY>Moved</BODY></HTML>";
                     script.canned[list] = redirect;
                     script.aliases[moved] = list;
                     script.never_requested.push_back(moved);
                     return script;
                   },
                   Stage::list});

  cases.push_back({"InvalidUtf8InCell",
                   [](Format) {
                     Script script;
                     script.scenario.model.spreadsheets[0].worksheets[0].rows.push_back(
                         {"SN-0044", "Broken \xC3\x28 text", "Lab"});
                     return script;
                   },
                   Stage::list});

  cases.push_back(list_answer_case("DeepNesting", [](Format format) -> fake::CannedResponse {
    constexpr std::size_t kDepth = 100000;
    std::string body;
    if (format == Format::gdata) {
      body = kAtomStart;
      body +=
          "<entry><title type=\"text\">SN-1</title>"
          "<gsx:serialnumber>SN-1</gsx:serialnumber><gsx:name>Deep</gsx:name>";
      for (std::size_t i = 0; i < kDepth; ++i) body += "<x>";
      for (std::size_t i = 0; i < kDepth; ++i) body += "</x>";
      body += "</entry></feed>";
      return {200, kAtomType, body};
    }
    body = "{\"range\":\"'Registry'!A1:Z1000\",\"majorDimension\":\"ROWS\",\"values\":";
    body += std::string(kDepth, '[');
    body += std::string(kDepth, ']');
    body += '}';
    return {200, kJsonType, body};
  }));
  // The nested arrays stand where rows of strings must be, so the values answer can only be
  // refused. The Atom document is well-formed and its entry has its cells: reading that one row
  // is as clean an end as refusing the document.
  {
    FaultCase& deep = cases.back();
    auto make = deep.script;
    deep.script = [make](Format format) {
      Script script = make(format);
      if (format == Format::gdata) {
        script.expect = Expect::listing_or_failure;
        script.expected_plain = "SN-1, Deep\n[ OK ]\n";
        script.expected_json =
            "[\n{\"serialnumber\":\"SN-1\",\"properties\":{\"name\":\"Deep\"}}\n]";
      }
      return script;
    };
  }

  cases.push_back({"GzipBomb",
                   [](Format format) {
                     Script script;
                     fault::Response bomb;
                     bomb.headers = {
                         {"Content-Type", format == Format::gdata ? kAtomType : kJsonType},
                         {"Content-Encoding", "gzip"}};
                     bomb.body = bomb_for(format);
                     script.canned[path_of(format, Stage::list)] = bomb;
                     return script;
                   },
                   Stage::list, Expect::failure, Timing::inflate});

  cases.push_back(tls_case("TlsUnknownCa", "untrusted"));
  cases.push_back(tls_case("TlsExpiredCertificate", "expired"));
  cases.push_back(tls_case("TlsHostMismatch", "wronghost"));

  const std::string rest = ",\"token_type\":\"Bearer\",\"expires_in\":3600}";
  cases.push_back(token_answer_case("TokenNotJson", "text/plain; charset=utf-8",
                                    "access_token=ya29.fake&token_type=Bearer&expires_in=3600"));
  cases.push_back(
      token_answer_case("TokenIsNumber", "application/json", "{\"access_token\":12345" + rest));
  cases.push_back(token_answer_case("TokenIsObject", "application/json",
                                    "{\"access_token\":{\"value\":\"ya29.fake\"}" + rest));
  cases.push_back(
      token_answer_case("TokenIsNull", "application/json", "{\"access_token\":null" + rest));
  cases.push_back(
      token_answer_case("TokenIsEmpty", "application/json", "{\"access_token\":\"\"" + rest));

  // Not a fault: a long search answer with the wanted spreadsheet last must still be read
  // whole, within the same limits.
  cases.push_back(
      {"HundredThousandSpreadsheets",
       [](Format format) {
         constexpr std::size_t kDecoys = 100000;
         Script script;
         fake::Model& model = script.scenario.model;
         if (format == Format::gdata) {
           // Rendered here, before the run: rendering it on request (and passing
           // it through the proxy) could keep the line quiet past the stall limit.
           fake::Model listed;
           listed.spreadsheets.reserve(kDecoys + 1);
           for (std::size_t i = 0; i < kDecoys; ++i) {
             listed.spreadsheets.push_back(
                 {"Inventory copy " + std::to_string(i), "decoy" + std::to_string(i), {}});
           }
           listed.spreadsheets.push_back(model.spreadsheets[0]);
           fault::Response feed;
           feed.headers = {{"Content-Type", kAtomType}};
           feed.body =
               fake::spreadsheets_feed(listed, kPublicBase, fake::ServiceOptions{}.service_account);
           script.canned[path_of(format, Stage::spreadsheets)] = std::move(feed);
         } else {
           std::string files = "{\"files\":[";
           for (std::size_t i = 0; i < kDecoys; ++i) {
             files += "{\"id\":\"decoy" + std::to_string(i) + "\",\"name\":\"Inventory copy " +
                      std::to_string(i) + "\"},";
           }
           files += "{\"id\":\"inv\",\"name\":\"Inventory\"}]}";
           fault::Response answer;
           answer.headers = {{"Content-Type", kJsonType}};
           answer.body = std::move(files);
           script.canned[path_of(format, Stage::spreadsheets)] = std::move(answer);
         }
         return script;
       },
       std::nullopt, Expect::listing, Timing::deadline});
  return cases;
}

// Attacks that only an XML parser can fall for.
std::vector<FaultCase> atom_only_cases() {
  std::vector<FaultCase> cases;
  cases.push_back(list_answer_case("EntityExpansionBomb", [](Format) -> fake::CannedResponse {
    std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE feed [\n";
    body += "<!ENTITY lol0 \"lol\">\n";
    for (int level = 1; level <= 10; ++level) {
      body += "<!ENTITY lol" + std::to_string(level) + " \"";
      for (int i = 0; i < 10; ++i) body += "&lol" + std::to_string(level - 1) + ";";
      body += "\">\n";
    }
    body += "]>\n";
    body += std::string(kAtomStart).substr(std::string_view(kAtomStart).find("<feed"));
    body +=
        "<entry><title type=\"text\">SN-1</title><gsx:serialnumber>SN-1</gsx:serialnumber>"
        "<gsx:name>&lol10;</gsx:name></entry></feed>";
    return {200, kAtomType, body};
  }));

  cases.push_back(
      {"ExternalEntityFile",
       [](Format format) {
         Script script;
         script.secret = "registry-fault-secret-" + random_hex();
         script.secret_file =
             fs::temp_directory_path() / ("registry-fault-entity-" + std::to_string(getpid()));
         std::ofstream(script.secret_file) << script.secret;
         std::string body =
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<!DOCTYPE feed [<!ENTITY x SYSTEM \"file://" +
             script.secret_file.string() + "\">]>\n";
         body += std::string(kAtomStart).substr(std::string_view(kAtomStart).find("<feed"));
         body +=
             "<entry><title type=\"text\">SN-1</title>"
             "<gsx:serialnumber>SN-1</gsx:serialnumber><gsx:name>&x;</gsx:name>"
             "</entry></feed>";
         script.scenario.overrides[path_of(format, Stage::list)] = {200, kAtomType, body};
         return script;
       },
       Stage::list});
  return cases;
}

// ---------------------------------------------------------------------------------------------
// The servers on the build's fixed port.

const char* scope_of(Format format) {
  return format == Format::gdata ? fake::kFeedsScope : fake::kSheetsV4Scopes;
}

// Another process may have just let go of the port; give it a moment rather than failing.
template <class Start>
void start_with_retries(Start start) {
  for (int attempt = 0;; ++attempt) {
    try {
      start();
      return;
    } catch (const std::runtime_error&) {
      if (attempt >= 30) throw;
      std::this_thread::sleep_for(milliseconds(100));
    }
  }
}

class Loopback {
 public:
  // The fault server on the port, passing through to a fake on an ephemeral port that speaks
  // `format` and renders its links with the fault server's address.
  fault::FaultServer& proxy(Format format) {
    direct_.reset();
    if (!upstream_ || upstream_format_ != format) {
      upstream_.reset();
      fake::ServiceOptions options;
      options.pki_dir = kPki;
      options.scope = scope_of(format);
      options.public_base_url = kPublicBase;
      upstream_ = std::make_unique<fake::FakeService>(options);
      upstream_->start();
      upstream_format_ = format;
    }
    if (!proxy_) {
      auto server = std::make_unique<fault::FaultServer>(
          fault::FaultServerOptions{kPki, TEST_PORT, upstream_->port()});
      start_with_retries([&] { server->start(); });
      proxy_ = std::move(server);
    }
    proxy_->set_upstream_port(upstream_->port());
    return *proxy_;
  }
  fake::FakeService& upstream() { return *upstream_; }

  // The fake itself on the port, serving the named certificate from the test PKI.
  fake::FakeService& direct(Format format, const std::string& cert) {
    proxy_.reset();
    direct_.reset();
    fake::ServiceOptions options;
    options.pki_dir = kPki;
    options.port = TEST_PORT;
    options.cert_name = cert;
    options.scope = scope_of(format);
    auto service = std::make_unique<fake::FakeService>(options);
    start_with_retries([&] { service->start(); });
    direct_ = std::move(service);
    return *direct_;
  }

 private:
  std::unique_ptr<fake::FakeService> upstream_;
  Format upstream_format_ = Format::gdata;
  std::unique_ptr<fault::FaultServer> proxy_;
  std::unique_ptr<fake::FakeService> direct_;
};

Loopback& loopback() {
  static Loopback instance;
  return instance;
}

// ---------------------------------------------------------------------------------------------
// The test.

std::string outcome_of(const ProcessResult& r, Mode mode, const Script& script) {
  if (r.timed_out) return "timeout";
  if (r.signal != 0) return "signal-" + std::to_string(r.signal);
  const bool quiet = r.err.empty();
  if (mode == Mode::listing) {
    if (quiet && r.exit_status == 0 && r.out == kFailPlain) return "fail";
    if (quiet && r.exit_status == 0 && r.out == script.expected_plain) return "listing";
  } else {
    if (quiet && r.exit_status == 1 && r.out == kFailJson) return "fail";
    if (quiet && r.exit_status == 0 && r.out == script.expected_json) return "listing";
  }
  return "other-exit-" + std::to_string(r.exit_status);
}

void report(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  const char* path = std::getenv("REGISTRY_FAULT_REPORT");
  if (path == nullptr || *path == '\0') return;
  // One write of a whole line to an O_APPEND file: lines of parallel runs never interleave.
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open REGISTRY_FAULT_REPORT " << path;
    return;
  }
  const std::string text = line + "\n";
  const ssize_t written = write(fd, text.data(), text.size());
  close(fd);
  EXPECT_EQ(written, static_cast<ssize_t>(text.size())) << "short write to " << path;
}

class FaultTest : public testing::TestWithParam<std::tuple<Format, Mode, FaultCase>> {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() / ("registry-fault-test-" + std::to_string(getpid()) +
                                              "-" + std::to_string(++run_counter_));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
    fs::copy_file(kPki + "/sa-legacy.p12", directory_ / CERTIFICATE_FILE);
    rss_report_ = directory_.string() + ".rss";
    fs::remove(rss_report_);
  }
  void TearDown() override {
    fs::remove_all(directory_);
    fs::remove(rss_report_);
    if (!secret_file_.empty()) fs::remove(secret_file_);
  }

  fs::path directory_;
  fs::path rss_report_;  // where the launcher writes the program's peak RSS
  fs::path secret_file_;
  static inline int run_counter_ = 0;
};

TEST_P(FaultTest, EndsCleanlyWithinTheLimits) {
  const auto& [format, mode, c] = GetParam();
  const Script script = c.script(format);
  secret_file_ = script.secret_file;

  // Arrange the servers.
  fault::FaultServer* proxy = nullptr;
  fake::FakeService* service = nullptr;
  if (script.tls_cert.empty()) {
    proxy = &loopback().proxy(format);
    proxy->reset_script();
    for (const auto& [path, f] : script.faults) proxy->set_fault(path, f);
    for (const auto& [path, response] : script.canned) proxy->set_canned(path, response);
    for (const auto& [path, upstream_path] : script.aliases) proxy->set_alias(path, upstream_path);
    service = &loopback().upstream();
  } else {
    service = &loopback().direct(format, script.tls_cert);
  }
  service->set_scenario(script.scenario);
  service->clear_requests();

  // Run.
  std::vector<std::string> argv = {format == Format::gdata ? LOOPBACK_BUILD : LOOPBACK_V4_BUILD};
  if (mode == Mode::json) argv.push_back("--json");
  ProcessOptions options;
  options.working_directory = directory_.string();
  options.timeout = kDeadline * 4;
  // Through the launcher, whose report is the program's own peak RSS: run_process's figure
  // would include this (large) test process, from which the child was forked.
  options.wrapper = {PEAK_RSS_LAUNCHER, rss_report_.string()};
  const ProcessResult result = run_process(argv, options);
  long peak_rss_kib = 0;
  std::ifstream(rss_report_) >> peak_rss_kib;

  // Record.
  const std::size_t largest = proxy != nullptr ? proxy->largest_body() : 0;
  const long rss_bound_kib = kBaseRssKib + static_cast<long>(3 * largest / 1024);
  milliseconds time_bound = kStallLimit;
  if (c.timing == Timing::inflate) time_bound = kDeadline / 2;
  if (c.timing == Timing::stall) time_bound = kStallLimit + kSlack;
  if (c.timing == Timing::deadline) time_bound = kDeadline + kSlack;
  const std::string outcome = outcome_of(result, mode, script);
  report("FAULT|" + c.name + "|" + testing_support::format_name(format) + "|" + mode_name(mode) +
         "|" + outcome + "|" + std::to_string(result.elapsed.count()) + "|" +
         std::to_string(peak_rss_kib) + "|" + std::to_string(rss_bound_kib) + "|" +
         std::to_string(time_bound.count()));

  // Check: ended by itself, exactly the expected output and status, nothing on stderr.
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.err, "");
  const std::string& fail_out = mode == Mode::listing ? kFailPlain : kFailJson;
  const std::string& listing_out =
      mode == Mode::listing ? script.expected_plain : script.expected_json;
  const int fail_status = mode == Mode::listing ? 0 : 1;
  const Expect expect = script.expect.value_or(c.expect);
  switch (expect) {
    case Expect::failure:
      EXPECT_EQ(result.out, fail_out);
      EXPECT_EQ(result.exit_status, fail_status);
      break;
    case Expect::listing:
      EXPECT_EQ(result.out, listing_out);
      EXPECT_EQ(result.exit_status, 0);
      break;
    case Expect::listing_or_failure:
      EXPECT_TRUE(outcome == "fail" || outcome == "listing")
          << "output: " << result.out.substr(0, 200) << "\nexit status " << result.exit_status;
      break;
  }

  // Within the limits. Under the sanitizers the shadow memory and the slower code are theirs,
  // not the program's: there only the outcome and the limits the transport enforces count.
  if (!kSanitized) {
    EXPECT_LE(result.elapsed, time_bound) << "the run took " << result.elapsed.count() << " ms";
    EXPECT_GT(peak_rss_kib, 0) << "no peak RSS reported";
    EXPECT_LE(peak_rss_kib, rss_bound_kib)
        << "peak RSS " << peak_rss_kib << " KiB; largest body served " << largest << " bytes";
  }

  // The limit meant to end a stall or a drip did, and no other, as soon as it was due. Timed by
  // the fault server, from the moment the line went quiet (stall) or the head was sent (drip)
  // until the client hung up: the start-up and the earlier requests do not blur it.
  if (proxy != nullptr) {
    for (const auto& [path, f] : script.faults) {
      if (f != fault::Fault::stall && f != fault::Fault::drip) continue;
      const milliseconds limit = f == fault::Fault::stall ? kStallLimit : kDeadline;
      // The program may exit before the server's thread has seen the connection close.
      auto gave_up = proxy->client_gave_up_after();
      for (int wait = 0; wait < 200 && !gave_up.has_value(); ++wait) {
        std::this_thread::sleep_for(milliseconds(10));
        gave_up = proxy->client_gave_up_after();
      }
      ASSERT_TRUE(gave_up.has_value()) << "the client never hung up on " << path;
      EXPECT_GE(*gave_up, limit - kLimitEarly)
          << "hung up " << gave_up->count() << " ms after the line went quiet";
      EXPECT_LE(*gave_up, limit + kLimitLate)
          << "hung up " << gave_up->count() << " ms after the line went quiet";
    }

    // The fault was really met, and the run went no further.
    const std::vector<std::string> requested = proxy->requested_paths();
    if (!script.faults.empty()) {
      EXPECT_GE(proxy->faults_injected(), 1);
    }
    if (c.faulted) {
      const std::vector<std::string> allowed = paths_up_to(format, *c.faulted);
      EXPECT_NE(std::find(requested.begin(), requested.end(), path_of(format, *c.faulted)),
                requested.end())
          << "the faulted request was never made";
      for (const std::string& path : requested) {
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), path), allowed.end())
            << "requested " << path << " after the faulted request";
      }
    }
    for (const std::string& path : script.never_requested) {
      EXPECT_EQ(std::find(requested.begin(), requested.end(), path), requested.end())
          << "requested " << path;
    }
    if (expect == Expect::listing) {
      EXPECT_EQ(requested, paths_up_to(format, Stage::list));
    }
  } else {
    // A certificate that is not trusted ends the run before any request is sent.
    EXPECT_TRUE(service->requests().empty()) << service->requests().size() << " requests";
  }
  if (!script.secret.empty()) {
    EXPECT_EQ(result.out.find(script.secret), std::string::npos);
    EXPECT_EQ(result.err.find(script.secret), std::string::npos);
  }
}

std::vector<FaultCase> all_format_cases() {
  std::vector<FaultCase> cases = transport_cases();
  for (auto* more : {status_cases, document_cases}) {
    std::vector<FaultCase> next = more();
    cases.insert(cases.end(), next.begin(), next.end());
  }
  return cases;
}

std::string test_name(const testing::TestParamInfo<std::tuple<Format, Mode, FaultCase>>& info) {
  return testing_support::format_name(std::get<0>(info.param)) + "_" +
         mode_name(std::get<1>(info.param)) + "_" + std::get<2>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest,
                         testing::Combine(testing::Values(Format::gdata, Format::sheets_v4),
                                          testing::Values(Mode::listing, Mode::json),
                                          testing::ValuesIn(all_format_cases())),
                         test_name);

INSTANTIATE_TEST_SUITE_P(AtomFaults, FaultTest,
                         testing::Combine(testing::Values(Format::gdata),
                                          testing::Values(Mode::listing, Mode::json),
                                          testing::ValuesIn(atom_only_cases())),
                         test_name);

// Each request of a run may keep within its own limits, a drip for instance, and the run
// still ends when the whole run's deadline comes, with the failure output.
using RunDeadlineTest = FaultTest;

TEST_F(RunDeadlineTest, ADripWithinEveryRequestLimitEndsAtTheRunDeadline) {
  fault::FaultServer& proxy = loopback().proxy(Format::sheets_v4);
  proxy.reset_script();
  const Script script = stream_fault(Format::sheets_v4, Stage::list, fault::Fault::drip);
  for (const auto& [path, f] : script.faults) proxy.set_fault(path, f);
  loopback().upstream().set_scenario(script.scenario);
  ProcessOptions options;
  options.working_directory = directory_.string();
  options.timeout = kDeadline * 4;
  const ProcessResult result = run_process({LOOPBACK_V4_RUN_LIMIT_BUILD}, options);
  EXPECT_EQ(result.out, kFailPlain);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  const milliseconds run_limit = seconds(LOOPBACK_RUN_SECONDS);
  EXPECT_GE(result.elapsed, run_limit - milliseconds(500));
  EXPECT_LT(result.elapsed, std::min(run_limit + kSlack, kDeadline));
}

}  // namespace
