// The fake service on the fixed port that the loopback builds are configured for: one for the
// whole test program, restarted when a test needs the other format's scopes or other hosts.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fake_service.h"
#include "feed_paths.h"

namespace testing_support {

inline fake::FakeService& fixed_port_fake(Format format, const std::string& pki_dir, int port,
                                          const std::vector<std::string>& hosts = {"127.0.0.1"}) {
  static std::unique_ptr<fake::FakeService> service;
  static Format running = Format::gdata;
  static std::vector<std::string> running_hosts;
  if (!service || running != format || running_hosts != hosts) {
    service.reset();
    fake::ServiceOptions options;
    options.pki_dir = pki_dir;
    options.port = port;
    options.hosts = hosts;
    options.scope = format == Format::gdata ? fake::kFeedsScope : fake::kSheetsV4Scopes;
    service = std::make_unique<fake::FakeService>(options);
    service->start();
    running = format;
    running_hosts = hosts;
  }
  return *service;
}

}  // namespace testing_support
