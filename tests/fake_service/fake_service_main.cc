// Serves sample_model() on 127.0.0.1 for trying the program by hand:
//   fake-service --pki-dir DIR [--port N] [--cert NAME] [--format gdata|sheets-v4]
//                [--drive-pages N,N,...] [--hosts ADDRESS,ADDRESS,...]
// Both the feeds and the JSON APIs are always served; --format only picks the JWT scope the token
// endpoint expects, which is what the program's format choice changes. --drive-pages cuts the
// Drive search into pages as Scenario::drive_pages does. --hosts listens on those loopback
// addresses instead (e.g. 127.0.0.1,127.0.0.2,127.0.0.3), all on the one port.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fake_service.h"

namespace {

int usage() {
  std::cerr << "usage: fake-service --pki-dir DIR [--port N] [--cert NAME] "
               "[--format gdata|sheets-v4] [--drive-pages N,N,...] "
               "[--hosts ADDRESS,ADDRESS,...]\n";
  return 2;
}

// "0,2,1" as {0, 2, 1}; false for anything but decimal numbers joined by single commas.
bool parse_counts(const std::string& text, std::vector<std::size_t>& counts) {
  std::size_t pos = 0;
  while (true) {
    const std::size_t comma = text.find(',', pos);
    const std::string item = text.substr(pos, comma == std::string::npos ? comma : comma - pos);
    if (item.empty() || item.size() > 6 || item.find_first_not_of("0123456789") != item.npos) {
      return false;
    }
    counts.push_back(std::stoul(item));
    if (comma == std::string::npos) return true;
    pos = comma + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  fake::ServiceOptions options;
  fake::Scenario scenario{fake::sample_model(), {}};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    const std::string value = argv[++i];
    if (arg == "--pki-dir") {
      options.pki_dir = value;
    } else if (arg == "--port") {
      char* end = nullptr;
      const long port = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || port < 0 || port > 65535) return usage();
      options.port = static_cast<int>(port);
    } else if (arg == "--cert") {
      options.cert_name = value;
    } else if (arg == "--format") {
      if (value == "gdata") {
        options.scope = fake::kFeedsScope;
      } else if (value == "sheets-v4") {
        options.scope = fake::kSheetsV4Scopes;
      } else {
        return usage();
      }
    } else if (arg == "--drive-pages") {
      if (!parse_counts(value, scenario.drive_pages)) return usage();
    } else if (arg == "--hosts") {
      options.hosts.clear();
      for (std::size_t pos = 0; pos <= value.size();) {
        const std::size_t comma = std::min(value.find(',', pos), value.size());
        if (comma == pos || value.compare(pos, 4, "127.") != 0) return usage();
        options.hosts.push_back(value.substr(pos, comma - pos));
        pos = comma + 1;
      }
    } else {
      return usage();
    }
  }
  if (options.pki_dir.empty()) return usage();

  // One line per request, never any credential: the Authorization value and the assertion stay
  // out of the log.
  static std::mutex log_mutex;
  options.on_request = [](const fake::RecordedRequest& r) {
    const std::string line =
        r.host + " " + r.method + " " + r.path + " " + std::to_string(r.status) + "\n";
    std::lock_guard lock(log_mutex);
    std::fputs(line.c_str(), stderr);
  };

  // Block the stop signals before any thread exists so that only sigwait() below sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  fake::FakeService service(options);
  try {
    service.set_scenario(std::move(scenario));
    service.start();
  } catch (const std::exception& e) {
    std::cerr << "fake-service: " << e.what() << "\n";
    return 1;
  }
  std::cout << "listening on " << service.base_url() << std::endl;

  int sig = 0;
  sigwait(&stop_signals, &sig);
  service.stop();
  return 0;
}
