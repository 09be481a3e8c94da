# The loopback builds: the program for the fake service, on Linux and in the Windows
# cross-build alike. A Windows build is given the Linux build's PKI folder and port, since the
# fake it talks to runs there.
# The executable tests and the demo run a build whose constants point at the fake service on
# this loopback port, with time limits small enough to keep fault cases quick.
set(REGISTRY_TEST_PORT 18443 CACHE STRING "Loopback port of the fake service for the loopback build")
set(loopback_base "https://127.0.0.1:${REGISTRY_TEST_PORT}")
# loopback_build(<name> <format> [REPORT_FAILURE_CAUSE] [<NAME> <value>]...): the program for the
# fake service, with any further settings as registry_add_executable takes them.
function(loopback_build name format)
  set(cause OFF)
  set(settings "${ARGN}")
  if("REPORT_FAILURE_CAUSE" IN_LIST settings)
    set(cause ON)
    list(REMOVE_ITEM settings REPORT_FAILURE_CAUSE)
  endif()
  registry_add_executable(NAME ${name}
    FEED_FORMAT ${format}
    TOKEN_URI "${loopback_base}/token"
    SPREADSHEETS_FEED_URI "${loopback_base}/feeds/spreadsheets/private/full"
    DRIVE_FILES_URI "${loopback_base}/drive/v3/files"
    SHEETS_URI "${loopback_base}/v4/spreadsheets"
    CA_BUNDLE "${REGISTRY_TEST_PKI_DIR}/ca.pem"
    CONNECT_TIMEOUT_SECONDS 3
    STALL_TIMEOUT_SECONDS 2
    REQUEST_TIMEOUT_SECONDS 8
    REPORT_FAILURE_CAUSE ${cause}
    ${settings})
  if(TARGET test_pki)
    add_dependencies(${name} test_pki)
  endif()
endfunction()
loopback_build(registry-list-loopback gdata)
loopback_build(registry-list-loopback-v4 sheets-v4)
# Signed in with a service-account JSON key, which names the account: the build leaves it empty.
set(loopback_json_key_file "registry-project-4f1c2b9a7e3d.json")
loopback_build(registry-list-loopback-json gdata
  CERTIFICATE_FILE ${loopback_json_key_file} SERVICE_ACCOUNT "")
loopback_build(registry-list-loopback-v4-json sheets-v4
  CERTIFICATE_FILE ${loopback_json_key_file} SERVICE_ACCOUNT "")
# As a user of the live service builds it: the default format, a JSON key, and retries.
loopback_build(registry-list-loopback-v4-retries sheets-v4
  CERTIFICATE_FILE ${loopback_json_key_file} SERVICE_ACCOUNT "" RETRIES 2)
loopback_build(registry-list-loopback-cause gdata REPORT_FAILURE_CAUSE)
loopback_build(registry-list-loopback-v4-cause sheets-v4 REPORT_FAILURE_CAUSE)
# Token, Drive and Sheets at three origins, as the live service has them: the fake listens on
# three loopback addresses for it.
loopback_build(registry-list-loopback-v4-hosts sheets-v4
  DRIVE_FILES_URI "https://127.0.0.2:${REGISTRY_TEST_PORT}/drive/v3/files"
  SHEETS_URI "https://127.0.0.3:${REGISTRY_TEST_PORT}/v4/spreadsheets")
