# What is made from the list of settings in cmake/settings.cmake: the cache variables, each
# executable's configuration header and the entries of the manual page's CONFIGURATION section.
# The list's names are in REGISTRY_SETTINGS; what the list says of each setting is in
# registry_setting_<NAME>_<type|default|doc|values|app_only|page>.

set(REGISTRY_SETTINGS "")
set(registry_setting_types string secret choice seconds bytes count bool)

# registry_setting(<NAME> <type> <default> <doc> [VALUES <value>...] [MAX <n>] [APP_ONLY]
#                  [PAGE <roff>])
# adds one setting to the list and makes its cache variable REGISTRY_<NAME>.
function(registry_setting name type default doc)
  cmake_parse_arguments(PARSE_ARGV 4 arg "APP_ONLY" "PAGE;MAX" "VALUES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "registry_setting(${name}): unexpected '${arg_UNPARSED_ARGUMENTS}'")
  endif()
  if(NOT type IN_LIST registry_setting_types)
    message(FATAL_ERROR "registry_setting(${name}): '${type}' is none of ${registry_setting_types}")
  endif()
  if(name IN_LIST REGISTRY_SETTINGS)
    message(FATAL_ERROR "registry_setting(${name}): the setting is listed twice")
  endif()
  if(DEFINED arg_VALUES AND NOT type STREQUAL "choice")
    message(FATAL_ERROR "registry_setting(${name}): only a choice has VALUES")
  endif()
  if(DEFINED arg_MAX AND NOT type STREQUAL "count")
    message(FATAL_ERROR "registry_setting(${name}): only a count has a MAX")
  endif()
  if(type STREQUAL "bool")
    option(REGISTRY_${name} "${doc}" ${default})
  else()
    set(REGISTRY_${name} "${default}" CACHE STRING "${doc}")
  endif()
  if(type STREQUAL "choice")
    if(NOT default IN_LIST arg_VALUES)
      message(FATAL_ERROR "registry_setting(${name}): the default '${default}' is not in VALUES")
    endif()
    set_property(CACHE REGISTRY_${name} PROPERTY STRINGS ${arg_VALUES})
  endif()
  # A bracket argument keeps the line break before its closing brackets; the page wants none.
  string(STRIP "${arg_PAGE}" page)

  set(prefix registry_setting_${name})
  set(${prefix}_type "${type}" PARENT_SCOPE)
  set(${prefix}_default "${default}" PARENT_SCOPE)
  set(${prefix}_doc "${doc}" PARENT_SCOPE)
  set(${prefix}_values "${arg_VALUES}" PARENT_SCOPE)
  set(${prefix}_max "${arg_MAX}" PARENT_SCOPE)
  set(${prefix}_app_only "${arg_APP_ONLY}" PARENT_SCOPE)
  set(${prefix}_page "${page}" PARENT_SCOPE)
  set(REGISTRY_SETTINGS ${REGISTRY_SETTINGS} ${name} PARENT_SCOPE)
endfunction()

# Stops the configuration when <value> is not one that the setting <name> can take, naming it as
# <label>. Numbers have no leading zero: C++ would read 015 as octal.
function(registry_check_setting label name value)
  set(type "${registry_setting_${name}_type}")
  if(type STREQUAL "choice" AND NOT value IN_LIST registry_setting_${name}_values)
    list(JOIN registry_setting_${name}_values " or " allowed)
    message(FATAL_ERROR "${label} must be ${allowed}, not '${value}'")
  elseif(type MATCHES "^(seconds|bytes)$" AND NOT value MATCHES "^(0|[1-9][0-9]*)$")
    message(FATAL_ERROR "${label} must be a whole number of ${type}, not '${value}'")
  elseif(type STREQUAL "count")
    set(max "${registry_setting_${name}_max}")
    if(NOT value MATCHES "^(0|[1-9][0-9]?)$" OR (NOT max STREQUAL "" AND value GREATER max))
      message(FATAL_ERROR "${label} must be a whole number from 0 to ${max}, not '${value}'")
    endif()
  endif()
endfunction()

# --- The configuration header ----------------------------------------------------------------

# Escapes a value for a C++ string literal.
function(registry_c_string out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Sets <out> to the C++ constant that holds <value> of the setting <name>, named k<Name>
# (CERTIFICATE_FILE: kCertificateFile), and <out>_name to that name.
function(registry_cxx_constant out name value)
  string(TOLOWER "${name}" words)
  string(REPLACE "_" ";" words "${words}")
  set(constant k)
  foreach(word IN LISTS words)
    string(SUBSTRING "${word}" 0 1 initial)
    string(SUBSTRING "${word}" 1 -1 rest)
    string(TOUPPER "${initial}" initial)
    string(APPEND constant "${initial}${rest}")
  endforeach()

  set(type "${registry_setting_${name}_type}")
  if(type STREQUAL "bool")
    if(value)
      set(definition "bool ${constant} = true")
    else()
      set(definition "bool ${constant} = false")
    endif()
  elseif(type STREQUAL "seconds")
    set(definition "long ${constant} = ${value}")
  elseif(type STREQUAL "count")
    set(definition "int ${constant} = ${value}")
  elseif(type STREQUAL "bytes")
    set(definition "std::uint64_t ${constant} = ${value}ULL")
  else()
    registry_c_string(escaped "${value}")
    set(definition "char ${constant}[] = \"${escaped}\"")
  endif()
  set(${out} "inline constexpr ${definition};" PARENT_SCOPE)
  set(${out}_name "${constant}" PARENT_SCOPE)
endfunction()

# Writes <file>, the header of the executable <target>, from app/registry_build_config.h.in: a
# constant per setting, and the filling of RegistryClientConfig, one field per setting that is
# not APP_ONLY, named after the setting in lower case. A setting's value is ${<prefix><NAME>}
# where that is defined, else the cache's REGISTRY_<NAME>.
function(registry_write_config_header target file prefix)
  set(CONFIG_CONSTANTS "")
  set(CONFIG_FIELDS "")
  foreach(name IN LISTS REGISTRY_SETTINGS)
    if(DEFINED ${prefix}${name})
      set(value "${${prefix}${name}}")
      registry_check_setting("${name} of ${target}" ${name} "${value}")
    else()
      set(value "${REGISTRY_${name}}")
      registry_check_setting(REGISTRY_${name} ${name} "${value}")
    endif()
    set(chosen_${name} "${value}")
    registry_cxx_constant(constant ${name} "${value}")
    string(APPEND CONFIG_CONSTANTS "${constant}\n")
    if(NOT registry_setting_${name}_app_only)
      string(TOLOWER "${name}" field)
      string(APPEND CONFIG_FIELDS "  config.${field} = ${constant_name};\n")
    endif()
  endforeach()
  registry_check_combination(${target} chosen_)
  # Each placeholder has a line of its own in the template.
  string(REGEX REPLACE "\n$" "" CONFIG_CONSTANTS "${CONFIG_CONSTANTS}")
  string(REGEX REPLACE "\n$" "" CONFIG_FIELDS "${CONFIG_FIELDS}")
  configure_file(${PROJECT_SOURCE_DIR}/app/registry_build_config.h.in ${file} @ONLY)
endfunction()

# --- The manual page -------------------------------------------------------------------------

# Sets <out> to <value> as it is shown on a text line of the page: in bold, kept from being
# hyphenated (\%), with backslashes escaped and the characters that roff would typeset as
# something else (hyphen, quotes, tilde, caret) named, so that the value reads and copies exactly
# as it is. The text starts with \fB, so a leading dot or apostrophe in the value is no control
# character. An empty value is shown as "(empty)".
function(registry_roff_value out value)
  if(value STREQUAL "")
    set(${out} "(empty)" PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "\\" "\\e" value "${value}")
  string(REPLACE "-" "\\-" value "${value}")
  string(REPLACE "'" "\\(aq" value "${value}")
  string(REPLACE "`" "\\(ga" value "${value}")
  string(REPLACE "~" "\\(ti" value "${value}")
  string(REPLACE "^" "\\(ha" value "${value}")
  set(${out} "\\fB\\%${value}\\fP" PARENT_SCOPE)
endfunction()

# Sets <out> to a setting's one line of documentation as roff text: backslashes and hyphens
# escaped as elsewhere on the page, broken at spaces into lines of at most 78 bytes (the width
# that keeps mandoc's style check quiet), each starting with a dot or apostrophe made plain text.
function(registry_roff_text out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  set(lines "")
  string(LENGTH "${text}" length)
  while(length GREATER 78)
    string(SUBSTRING "${text}" 0 79 head)
    string(FIND "${head}" " " space REVERSE)
    if(space LESS 1)
      break()
    endif()
    string(SUBSTRING "${text}" 0 ${space} line)
    math(EXPR space "${space} + 1")
    string(SUBSTRING "${text}" ${space} -1 text)
    string(APPEND lines "${line}\n")
    string(LENGTH "${text}" length)
  endwhile()
  string(APPEND lines "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" lines "${lines}")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# Sets <out> to the entries of the page's CONFIGURATION section, one tagged paragraph per
# setting in the list's order, each with the cache's value, and REGISTRY_MAN_<NAME> to that value
# as shown. A secret is shown only while it is the default: the page is world-readable, also
# where the program file is not, and the default is public knowledge.
function(registry_man_settings out)
  set(entries "")
  foreach(name IN LISTS REGISTRY_SETTINGS)
    set(value "${REGISTRY_${name}}")
    set(description "${registry_setting_${name}_page}")
    if(description STREQUAL "")
      registry_roff_text(description "${registry_setting_${name}_doc}")
    endif()
    string(APPEND entries ".TP\n.B REGISTRY_${name}\n${description}\n")
    if(registry_setting_${name}_type STREQUAL "secret"
       AND NOT value STREQUAL registry_setting_${name}_default)
      string(APPEND entries
             "This build uses one of its own, which is deliberately not shown here.\n")
    else()
      registry_roff_value(shown "${value}")
      string(APPEND entries "This build:\n${shown}\n")
      set(REGISTRY_MAN_${name} "${shown}" PARENT_SCOPE)
    endif()
  endforeach()
  string(REGEX REPLACE "\n$" "" entries "${entries}")
  set(${out} "${entries}" PARENT_SCOPE)
endfunction()
