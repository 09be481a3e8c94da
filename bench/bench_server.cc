// Serves a generated registry of any size for the performance measurement:
//   bench-server --pki-dir DIR --port N [--link-port W] --rows N [--format gdata|sheets-v4]
//                [--seed S] [--urls-file FILE] [--log]
// The spreadsheet "Inventory" (after twenty others) holds a small "Summary" worksheet and then
// "Registry" with the rows. The token step is a canned answer that issues "bench-token", so the
// program and curl pay the same for it and curl can present that token on the feed requests.
// Every answer of the chosen format is rendered (and gzipped, where the client asks for it) once
// before "listening on ..." is printed: during the timed runs the fake only hands out bytes,
// straight from that one copy.
//
// The fake listens on 127.0.0.1, 127.0.0.2 and 127.0.0.3, port N: the token endpoint, Drive and
// Sheets (with the gdata feeds) are asked for at one address each, as the live service has them
// on three hosts. The links in its answers name 127.0.0.3:N. With --link-port a second fake
// serves the same on an ephemeral port of the same addresses, for bench-link to relay from port
// W of each address, and its links name 127.0.0.3:W: a program that follows them stays behind
// the link. Each fake renders its own answers.
//
// --urls-file writes the four addresses a run asks for, in order (token, then the three feed
// requests of the format), as the program forms them: for port N, then (with --link-port) for
// port W. --log writes one line per request after the warm-up to standard error,
// "PROFILE METHOD target status host port header-names" (PROFILE loopback or wan, host the
// address it came to, port the client's), so a caller can check that the program and curl
// asked for the same things. SIGUSR1 writes "connections PROFILE host=count..." for each fake,
// the TCP connections accepted per address since the last such line, and starts counting anew.
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
#include <memory>
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

constexpr char kTokenHost[] = "127.0.0.1";
constexpr char kDriveHost[] = "127.0.0.2";
constexpr char kSheetsHost[] = "127.0.0.3";

struct Options {
  std::string pki_dir;
  int port = 0;
  int link_port = 0;
  std::size_t rows = 1000;
  std::uint64_t seed = bench::kDefaultSeed;
  std::string format = "gdata";
  std::string urls_file;
  bool log = false;
};

int usage() {
  std::cerr << "usage: bench-server --pki-dir DIR --port N [--link-port W] --rows N "
               "[--format gdata|sheets-v4] [--seed S] [--urls-file FILE] [--log]\n";
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

std::string origin(const char* host, int port) {
  return std::string("https://") + host + ":" + std::to_string(port);
}

// What follows the origin in each address of the fake.
std::string path_of(const fake::FakeService& service, const std::string& url) {
  return url.substr(service.base_url().size());
}

// The four requests of a run (token, then the three feed requests), as the program forms them
// from its configured addresses, each at its host on `port`, and from the links in the answers.
std::vector<std::string> run_urls(const fake::FakeService& service, const std::string& format,
                                  int port) {
  const std::string id = "inv1";
  const std::string token = origin(kTokenHost, port) + path_of(service, service.token_uri());
  const std::string sheets = origin(kSheetsHost, port);
  if (format == "gdata") {
    // "Registry" is the second worksheet of the spreadsheet.
    return {token, sheets + path_of(service, service.spreadsheets_feed_uri()),
            sheets + "/feeds/worksheets/" + id + "/private/full",
            sheets + "/feeds/list/" + id + "/" + fake::worksheet_id(1) + "/private/full"};
  }
  const std::string drive = origin(kDriveHost, port) + path_of(service, service.drive_files_uri());
  const std::string values = sheets + path_of(service, service.sheets_uri());
  return {token, kolvo::sheets_v4::drive_files_uri(drive, kTitle),
          kolvo::sheets_v4::spreadsheet_uri(values, id),
          kolvo::sheets_v4::values_uri(values, id, kWorksheet)};
}

// Asks for every answer once, the way the program does (gzip accepted), so the fake renders and
// compresses it now rather than during the first timed run. `urls` are the run's four, on the
// fake's own port. Returns the decoded body sizes of the feed requests.
std::vector<std::size_t> warm_up(const std::string& pki_dir, const std::vector<std::string>& urls) {
  kolvo::HttpOptions http;
  http.ca_bundle = pki_dir + "/ca.pem";
  http.connect_timeout_seconds = 10;
  http.stall_timeout_seconds = 60;
  http.request_timeout_seconds = 600;
  http.max_body_bytes = std::uint64_t{4} << 30;
  kolvo::HttpClient client(http);
  const kolvo::HttpResponse token = client.post_form(urls[0], kTokenForm);
  if (token.status != 200 || token.body.find(kToken) == std::string::npos) {
    throw std::runtime_error("the canned token answer was not served (HTTP " +
                             std::to_string(token.status) + ")");
  }
  const std::vector<std::string> headers = {std::string("Authorization: Bearer ") + kToken};
  std::vector<std::size_t> sizes;
  for (std::size_t i = 1; i < urls.size(); ++i) {
    std::size_t size = 0;
    client.get(urls[i], headers, [&size](std::string_view chunk) { size += chunk.size(); });
    sizes.push_back(size);
  }
  return sizes;
}

std::atomic<bool> logging{false};
std::mutex log_mutex;

void log_request(const char* profile, const fake::RecordedRequest& r) {
  std::string line = profile;
  line += ' ';
  line += r.method;
  line += ' ';
  line += r.path;
  if (!r.query.empty()) {
    line += '?';
    line += r.query;
  }
  line += ' ';
  line += std::to_string(r.status);
  line += ' ';
  line += r.host;
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

// One fake: the hosts on `port` (0: any free one), its links naming the Sheets host on
// `public_port`.
std::unique_ptr<fake::FakeService> make_service(const Options& opt, const char* profile, int port,
                                                int public_port) {
  fake::ServiceOptions options;
  options.pki_dir = opt.pki_dir;
  options.port = port;
  options.hosts = {kTokenHost, kDriveHost, kSheetsHost};
  options.public_base_url = origin(kSheetsHost, public_port);
  options.scope = opt.format == "gdata" ? fake::kFeedsScope : fake::kSheetsV4Scopes;
  if (opt.log) {
    options.on_request = [profile](const fake::RecordedRequest& r) {
      if (logging.load()) log_request(profile, r);
    };
  }
  auto service = std::make_unique<fake::FakeService>(options);
  fake::Scenario scenario{bench_model(opt.rows, opt.seed), {}};
  scenario.overrides["/token"] =
      fake::CannedResponse{200, "application/json; charset=utf-8", kTokenBody};
  service->set_scenario(std::move(scenario));
  service->start();
  return service;
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
    } else if (arg == "--port" || arg == "--link-port") {
      if (!parse_unsigned(value, 65535, number) || number == 0) return usage();
      (arg == "--port" ? opt.port : opt.link_port) = static_cast<int>(number);
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

  // Only sigwait() below sees these signals: block them before any thread exists.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // The warm-up client writes to sockets too; a server hanging up must not kill this process.
  signal(SIGPIPE, SIG_IGN);

  struct Served {
    const char* profile;
    std::unique_ptr<fake::FakeService> service;
    int public_port;
  };
  std::vector<Served> served;
  try {
    const auto started = std::chrono::steady_clock::now();
    served.push_back({"loopback", make_service(opt, "loopback", opt.port, opt.port), opt.port});
    if (opt.link_port != 0) {
      served.push_back({"wan", make_service(opt, "wan", 0, opt.link_port), opt.link_port});
    }
    std::vector<std::size_t> sizes;
    std::ofstream urls_file;
    if (!opt.urls_file.empty()) urls_file.open(opt.urls_file, std::ios::trunc);
    for (Served& s : served) {
      sizes = warm_up(opt.pki_dir, run_urls(*s.service, opt.format, s.service->port()));
      // The recorded requests keep every request's headers; start the timed runs from none.
      s.service->clear_requests();
      for (const std::string& url : run_urls(*s.service, opt.format, s.public_port)) {
        urls_file << url << '\n';
      }
    }
    if (!opt.urls_file.empty() && !urls_file.flush()) {
      throw std::runtime_error("cannot write " + opt.urls_file);
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
  std::cout << "listening on " << kTokenHost << ", " << kDriveHost << " and " << kSheetsHost
            << " port " << opt.port;
  if (served.size() > 1) std::cout << "; for the link on port " << served[1].service->port();
  std::cout << std::endl;

  int sig = 0;
  // Ends with SIGINT or SIGTERM; every other pass answers a SIGUSR1, so the loop is bounded by
  // what the caller sends.
  while (sigwait(&signals, &sig) == 0 && sig == SIGUSR1) {
    std::string line;
    for (Served& s : served) {
      line += "connections ";
      line += s.profile;
      for (const auto& [host, count] : s.service->connections()) {
        line += ' ' + host + '=' + std::to_string(count);
      }
      line += '\n';
      s.service->clear_requests();
    }
    std::lock_guard lock(log_mutex);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
  for (Served& s : served) s.service->stop();
  return 0;
}
