# The program as shipped (default time limits and body limit), pointed at the bench's origins:
# the token, Drive and Sheets endpoints are three hosts, 127.0.0.1, 127.0.0.2 and 127.0.0.3, as
# oauth2.googleapis.com, www.googleapis.com and sheets.googleapis.com are (the feeds of the gdata
# format live with Sheets, as spreadsheets.google.com is a host of its own). One build of each
# format per link profile, as the profiles are the same addresses on two ports:
#   registry-list-bench-gdata, registry-list-bench-v4          bench-server, REGISTRY_BENCH_PORT
#   registry-list-bench-gdata-wan, registry-list-bench-v4-wan  bench-link, REGISTRY_BENCH_WAN_PORT
# The title and key file name are spelt out because bench-server and scripts/bench.sh rely on them.
#
# bench/CMakeLists.txt includes this file; scripts/bench.sh --vs also puts it in place of the
# bench/CMakeLists.txt of the revision it compares with, with REGISTRY_BENCH_CA_BUNDLE naming this
# tree's test CA, so that both programs are built for the same origins.
set(REGISTRY_BENCH_PORT 18543 CACHE STRING "Loopback port of the bench server for the bench builds")
math(EXPR _bench_wan_default "${REGISTRY_BENCH_PORT} + 1")
set(REGISTRY_BENCH_WAN_PORT ${_bench_wan_default} CACHE STRING
    "Loopback port of the bench's shaped link (bench-link) for the wan bench builds")
set(REGISTRY_BENCH_CA_BUNDLE "" CACHE FILEPATH
    "CA bundle the bench builds trust; empty: the test PKI's CA of this build")
if(REGISTRY_BENCH_CA_BUNDLE)
  set(_bench_ca "${REGISTRY_BENCH_CA_BUNDLE}")
else()
  set(_bench_ca "${REGISTRY_TEST_PKI_DIR}/ca.pem")
endif()

foreach(profile IN ITEMS loopback wan)
  if(profile STREQUAL "loopback")
    set(port ${REGISTRY_BENCH_PORT})
    set(suffix "")
  else()
    set(port ${REGISTRY_BENCH_WAN_PORT})
    set(suffix "-wan")
  endif()
  foreach(format IN ITEMS gdata sheets-v4)
    if(format STREQUAL "gdata")
      set(name registry-list-bench-gdata${suffix})
    else()
      set(name registry-list-bench-v4${suffix})
    endif()
    registry_add_executable(NAME ${name}
      FEED_FORMAT ${format}
      SPREADSHEET_TITLE "Inventory"
      CERTIFICATE_FILE "bench-service-account.p12"
      TOKEN_URI "https://127.0.0.1:${port}/token"
      DRIVE_FILES_URI "https://127.0.0.2:${port}/drive/v3/files"
      SHEETS_URI "https://127.0.0.3:${port}/v4/spreadsheets"
      SPREADSHEETS_FEED_URI "https://127.0.0.3:${port}/feeds/spreadsheets/private/full"
      CA_BUNDLE "${_bench_ca}")
    if(TARGET test_pki)
      add_dependencies(${name} test_pki)
    endif()
    list(APPEND REGISTRY_BENCH_PROGRAMS ${name})
  endforeach()
endforeach()
