// Compiled once per executable, each time against its own generated header, so the shipped
// program and the loopback test build differ only in these constants.
#include "registry/registry.h"
#include "registry_build_config.h"

namespace kolvo {

RegistryClientConfig built_in_config() {
  namespace c = build_config;
  RegistryClientConfig config;
  config.certificate_file = c::kCertificateFile;
  config.certificate_password = c::kCertificatePassword;
  config.service_account = c::kServiceAccount;
  config.spreadsheet_title = c::kSpreadsheetTitle;
  config.token_uri = c::kTokenUri;
  config.spreadsheets_feed_uri = c::kSpreadsheetsFeedUri;
  config.feed_format = c::kFeedFormat;
  config.drive_files_uri = c::kDriveFilesUri;
  config.sheets_uri = c::kSheetsUri;
  config.ca_bundle = c::kCaBundle;
  config.connect_timeout_seconds = c::kConnectTimeoutSeconds;
  config.stall_timeout_seconds = c::kStallTimeoutSeconds;
  config.request_timeout_seconds = c::kRequestTimeoutSeconds;
  config.max_body_bytes = c::kMaxBodyBytes;
  return config;
}

}  // namespace kolvo
