// Serves a generated registry of any size on 127.0.0.1 for the performance measurement:
//   bench-server --pki-dir DIR --port N --rows N [--format gdata|sheets-v4] [--seed S]
//                [--urls-file FILE] [--log]
// The spreadsheet "Inventory" (after twenty others) holds a small "Summary" worksheet and then
// "Registry" with the rows. The token step is a canned answer that issues "bench-token", so the
// program and curl pay the same for it and curl can present that token on the feed requests.
// Every answer of the chosen format is rendered (and gzipped, where the client asks for it) once
// before "listening on ..." is printed: during the timed runs the fake only hands out bytes,
// straight from that one copy.
//
// --urls-file writes the four addresses a run asks for, in order (token, then the three feed
// requests of the format), as the program forms them. --log writes one line per request after
// the warm-up to standard error, "METHOD target status port header-names", so a caller can check
// that the program and curl asked for the same things and see how many connections each used.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_data.h"
#include "fake_service.h"
#include "platform/feeds/sheets_v4/sheets_v4.h"
#include "platform/http/http.h"

namespace {

constexpr char kTitle[] = "Inventory";
constexpr char kWorksheet[] = "Registry";
constexpr char kToken[] = "bench-token";
constexpr char kTokenBody[] =
    "{\"access_token\":\"bench-token\",\"token_type\":\"Bearer\",\"expires_in\":3600}";
// What the token endpoint would want; the canned answer ignores it, so a fixed dummy assertion
// does for curl and the warm-up alike.
constexpr char kTokenForm[] =
    "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=bench";

struct Options {
  std::string pki_dir;
  int port = 0;
  std::size_t rows = 1000;
  std::uint64_t seed = bench::kDefaultSeed;
  std::string format = "gdata";
  std::string urls_file;
  bool log = false;
};

int usage() {
  std::cerr << "usage: bench-server --pki-dir DIR --port N --rows N [--format gdata|sheets-v4] "
               "[--seed S] [--urls-file FILE] [--log]\n";
  return 2;
}

bool parse_unsigned(const std::string& text, unsigned long long max, unsigned long long& out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  out = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && out <= max;
}

fake::Model bench_model(std::size_t rows, std::uint64_t seed) {
  fake::Model model;
  std::size_t n = 0;
  for (const std::string& title : bench::other_spreadsheet_titles()) {
    fake::Worksheet sheet{"Sheet1", {"Item", "Value"}, {{"a", "1"}, {"b", "2"}}, true};
    model.spreadsheets.push_back({title, "other" + std::to_string(n++), {sheet}});
  }
  fake::Worksheet summary{
      "Summary", {"Category", "Count"}, {{"Computers", "412"}, {"Displays", "230"}}, true};
  fake::Worksheet registry{kWorksheet, bench::registry_header(), bench::registry_rows(rows, seed),
                           true};
  model.spreadsheets.push_back({kTitle, "inv1", {summary, std::move(registry)}});
  return model;
}

// The three feed requests of a run, as the program forms them from its configured addresses and
// from the links in the answers.
std::vector<std::string> feed_urls(const fake::FakeService& service, const std::string& format) {
  const std::string id = "inv1";
  if (format == "gdata") {
    // "Registry" is the second worksheet of the spreadsheet.
    const std::string base = service.base_url();
    return {service.spreadsheets_feed_uri(), base + "/feeds/worksheets/" + id + "/private/full",
            base + "/feeds/list/" + id + "/" + fake::worksheet_id(1) + "/private/full"};
  }
  return {kolvo::sheets_v4::drive_files_uri(service.drive_files_uri(), kTitle),
          kolvo::sheets_v4::spreadsheet_uri(service.sheets_uri(), id),
          kolvo::sheets_v4::values_uri(service.sheets_uri(), id, kWorksheet)};
}

// Asks for every answer once, the way the program does (gzip accepted), so the fake renders and
// compresses it now rather than during the first timed run. Returns the decoded body sizes.
std::vector<std::size_t> warm_up(const fake::FakeService& service, const std::string& pki_dir,
                                 const std::vector<std::string>& urls) {
  kolvo::HttpOptions http;
  http.ca_bundle = pki_dir + "/ca.pem";
  http.connect_timeout_seconds = 10;
  http.stall_timeout_seconds = 60;
  http.request_timeout_seconds = 600;
  http.max_body_bytes = std::uint64_t{4} << 30;
  kolvo::HttpClient client(http);
  const kolvo::HttpResponse token = client.post_form(service.token_uri(), kTokenForm);
  if (token.status != 200 || token.body.find(kToken) == std::string::npos) {
    throw std::runtime_error("the canned token answer was not served (HTTP " +
                             std::to_string(token.status) + ")");
  }
  const std::vector<std::string> headers = {std::string("Authorization: Bearer ") + kToken};
  std::vector<std::size_t> sizes;
  for (const std::string& url : urls) {
    std::size_t size = 0;
    client.get(url, headers, [&size](std::string_view chunk) { size += chunk.size(); });
    sizes.push_back(size);
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--log") {
      opt.log = true;
      continue;
    }
    if (i + 1 >= argc) return usage();
    const std::string value = argv[++i];
    unsigned long long number = 0;
    if (arg == "--pki-dir") {
      opt.pki_dir = value;
    } else if (arg == "--port") {
      if (!parse_unsigned(value, 65535, number) || number == 0) return usage();
      opt.port = static_cast<int>(number);
    } else if (arg == "--rows") {
      if (!parse_unsigned(value, 10'000'000, number)) return usage();
      opt.rows = static_cast<std::size_t>(number);
    } else if (arg == "--seed") {
      if (!parse_unsigned(value, UINT64_MAX, number)) return usage();
      opt.seed = number;
    } else if (arg == "--format") {
      if (value != "gdata" && value != "sheets-v4") return usage();
      opt.format = value;
    } else if (arg == "--urls-file") {
      opt.urls_file = value;
    } else {
      return usage();
    }
  }
  if (opt.pki_dir.empty() || opt.port == 0) return usage();

  // Only sigwait() below sees the stop signals: block them before any thread exists.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // The warm-up client writes to sockets too; a server hanging up must not kill this process.
  signal(SIGPIPE, SIG_IGN);

  static std::atomic<bool> logging{false};
  static std::mutex log_mutex;
  fake::ServiceOptions options;
  options.pki_dir = opt.pki_dir;
  options.port = opt.port;
  options.scope = opt.format == "gdata" ? fake::kFeedsScope : fake::kSheetsV4Scopes;
  const bool log = opt.log;
  options.on_request = [log](const fake::RecordedRequest& r) {
    if (log && logging.load()) {
      std::string line = r.method;
      line += ' ';
      line += r.path;
      if (!r.query.empty()) {
        line += '?';
        line += r.query;
      }
      line += ' ';
      line += std::to_string(r.status);
      line += ' ';
      line += std::to_string(r.remote_port);
      // Header names (and the one value that changes what is sent back), never a credential.
      line += ' ';
      for (std::size_t h = 0; h < r.headers.size(); ++h) {
        std::string name = r.headers[h].first;
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (h > 0) line += ';';
        line += name;
        if (name == "accept-encoding") {
          line += '=';
          for (const char c : r.headers[h].second) {
            if (c != ' ') line += c;
          }
        }
      }
      line += '\n';
      std::lock_guard lock(log_mutex);
      std::fputs(line.c_str(), stderr);
      std::fflush(stderr);
    }
  };

  fake::FakeService service(options);
  try {
    const auto started = std::chrono::steady_clock::now();
    fake::Scenario scenario{bench_model(opt.rows, opt.seed), {}};
    scenario.overrides["/token"] =
        fake::CannedResponse{200, "application/json; charset=utf-8", kTokenBody};
    service.set_scenario(std::move(scenario));
    service.start();

    const std::vector<std::string> urls = feed_urls(service, opt.format);
    const std::vector<std::size_t> sizes = warm_up(service, opt.pki_dir, urls);
    // The recorded requests keep every request's headers; start the timed runs from none.
    service.clear_requests();

    if (!opt.urls_file.empty()) {
      std::ofstream file(opt.urls_file, std::ios::trunc);
      file << service.token_uri() << '\n';
      for (const std::string& url : urls) file << url << '\n';
      if (!file.flush()) throw std::runtime_error("cannot write " + opt.urls_file);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr,
                 "bench-server: %zu rows, %s; bodies %zu + %zu + %zu bytes; ready in %.1f s\n",
                 opt.rows, opt.format.c_str(), sizes[0], sizes[1], sizes[2], seconds);
  } catch (const std::exception& e) {
    std::cerr << "bench-server: " << e.what() << "\n";
    return 1;
  }
  logging = true;
  std::cout << "listening on " << service.base_url() << std::endl;

  int sig = 0;
  sigwait(&stop_signals, &sig);
  service.stop();
  return 0;
}
