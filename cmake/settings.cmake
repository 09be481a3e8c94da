# The program's settings: everything it needs to know, fixed when it is built. Nothing is read
# from the environment, the command line or a file when it runs.
#
# Each entry is one setting, in the order the manual page lists them:
#   registry_setting(<NAME> <type> <default> "<one line of documentation>"
#                    [VALUES <allowed value>...] [APP_ONLY] [PAGE <roff text>])
# It makes the cache variable REGISTRY_<NAME> with that default and documentation, the
# constant k<Name> in the header that each executable's app/ code is compiled against (see
# registry_add_executable in CMakeLists.txt, whose <NAME> <value> pairs override settings per
# executable), the field <name> of RegistryClientConfig that the constant fills, unless the
# setting is APP_ONLY (read by app/ itself), and the setting's entry in the CONFIGURATION
# section of the manual page, where PAGE, when given, stands instead of the one line.
#
# Types (cmake/settings_support.cmake turns each into its cache, C++ and page forms):
#   string   text; C++ std::string
#   secret   text that the manual page shows only while it is the default, which is public
#   choice   one of VALUES; C++ std::string
#   seconds  a whole number of seconds; C++ long
#   bytes    a whole number of bytes; C++ std::uint64_t
#   count    a whole number up to MAX; C++ int
#   bool     ON or OFF, a CMake option; C++ bool
include(${CMAKE_CURRENT_LIST_DIR}/settings_support.cmake)

registry_setting(CERTIFICATE_FILE string "registry-4f1c2b9a7e3d.p12"
  "The key file's name, a bare file name opened in the working directory: a service-account JSON key if the name ends in .json, a PKCS#12 file otherwise.")
registry_setting(CERTIFICATE_PASSWORD secret "notasecret"
  "The PKCS#12 key file's password; the default is the one the service gives its key files. A JSON key has none, and this is not used.")
registry_setting(SERVICE_ACCOUNT string "registry-reader@registry-project.iam.gserviceaccount.com"
  "The e-mail address of the service account that signs in. May be empty with a JSON key, which names its account; when both name one, they must be the same.")
registry_setting(SPREADSHEET_TITLE string "Inventory"
  "The exact, case-sensitive title of the spreadsheet that holds the Registry worksheet.")
registry_setting(SPREADSHEET_ID string ""
  "The spreadsheet's ID, from its address: read it without searching Drive (format sheets-v4)."
  PAGE [[
The ID of the spreadsheet, the part of its address between
.B /d/
and the next
.BR / .
When set, the spreadsheet is read by its ID and Drive is not asked at all, so
the Drive API need not be enabled and only the scope
.B spreadsheets.readonly
is asked for; its title must still equal
.B REGISTRY_SPREADSHEET_TITLE
unless that is empty, so that a wrong ID fails instead of printing another
spreadsheet.
Format
.B sheets\-v4
only; empty to find the spreadsheet by its title.
]])
registry_setting(TOKEN_URI string "https://oauth2.googleapis.com/token"
  "Where the access token is asked for.")
registry_setting(FEED_FORMAT choice "sheets-v4"
  "Wire format: gdata (the Atom feeds) or sheets-v4 (Sheets API v4 with Drive API v3)."
  VALUES gdata sheets-v4
  PAGE [[
Which interface of the service the program speaks:
.B gdata
for the GData Atom feeds, starting at
.BR REGISTRY_SPREADSHEETS_FEED_URI ,
or
.B sheets\-v4
for the Sheets API v4 together with the Drive API v3, at
.B REGISTRY_SHEETS_URI
and
.BR REGISTRY_DRIVE_FILES_URI .
]])
registry_setting(SPREADSHEETS_FEED_URI string
  "https://spreadsheets.google.com/feeds/spreadsheets/private/full"
  "The spreadsheets feed (format gdata).")
registry_setting(DRIVE_FILES_URI string "https://www.googleapis.com/drive/v3/files"
  "The Drive files endpoint, where the spreadsheet is looked up by its title (format sheets-v4).")
registry_setting(SHEETS_URI string "https://sheets.googleapis.com/v4/spreadsheets"
  "The Sheets spreadsheets endpoint, from which the worksheet is read (format sheets-v4).")
registry_setting(CA_BUNDLE string ""
  "Trust only the certificate authorities in this PEM file; empty for the system's trust store.")
registry_setting(CONNECT_TIMEOUT_SECONDS seconds 15
  "The connect timeout of each request, in seconds.")
registry_setting(STALL_TIMEOUT_SECONDS seconds 30
  "A request that receives nothing for this many seconds fails.")
registry_setting(REQUEST_TIMEOUT_SECONDS seconds 300
  "The deadline of each whole request, in seconds.")
registry_setting(RUN_TIMEOUT_SECONDS seconds 600
  "The deadline of the whole run, in seconds: the request under way then stops, and no other starts.")
registry_setting(MAX_BODY_BYTES bytes 268435456
  "The largest response body accepted, in bytes, after decompression.")
registry_setting(RETRIES count 0
  "How many times a request refused for now is tried again, 0 to 10; 0 never tries again."
  MAX 10
  PAGE [[
How many times a request is tried again when it failed before any of its
answer was taken: the connection failed before an answer came, or the service
answered 429, 500, 502, 503 or 504, or refused with 403 for a rate limit.
Between tries the program waits 1, 2, 4, 8, 16 and then 32 seconds, each with
up to a second more at random, or as long as the answer's
.B Retry\-After
asks, but never more than 32 seconds.
An answer that failed part way is never tried again.
0 to 10; 0, the default, never tries again.
]])
registry_setting(REPORT_FAILURE_CAUSE bool OFF
  "On a failed run, also write one line naming the step and the cause to standard error."
  APP_ONLY
  PAGE [[
When ON, a failed run also writes one line to standard error naming the step
that failed and the cause, for example
.BR "registry\-list: token request: HTTP 400 invalid_grant" .
The line never holds a token, the signed assertion, the password or key
material.
When OFF, nothing is ever written to standard error.
]])

# Stops the configuration of <target> when its settings, ${<prefix><NAME>} each, do not go
# together.
function(registry_check_combination target prefix)
  if(NOT "${${prefix}SPREADSHEET_ID}" STREQUAL "" AND NOT "${${prefix}FEED_FORMAT}" STREQUAL "sheets-v4")
    message(FATAL_ERROR "${target}: REGISTRY_SPREADSHEET_ID needs REGISTRY_FEED_FORMAT sheets-v4")
  endif()
  if("${${prefix}SPREADSHEET_TITLE}" STREQUAL "" AND "${${prefix}SPREADSHEET_ID}" STREQUAL "")
    message(FATAL_ERROR
            "${target}: REGISTRY_SPREADSHEET_TITLE may be empty only with a REGISTRY_SPREADSHEET_ID")
  endif()
endfunction()
