#!/usr/bin/env bash
# Checks how registry-list installs, from a configured and built BUILD_DIR:
#  - the man page: `mandoc -T lint` reports nothing above STYLE; it has every section, the
#    project's version and release date, and every REGISTRY_* setting with this build's value
#    (never a password of one's own); its CONFIGURATION section describes exactly the settings
#    of cmake/settings.cmake, in that list's order; a scratch configuration with awkward values
#    checks that they are escaped for roff and shown exactly as given;
#  - values that a setting cannot take stop the configuration with a message naming them;
#  - `cmake --install` into a scratch prefix installs exactly these files: bin/registry-list,
#    share/man/man1/registry-list.1, share/doc/registry-list/README.md, and the install
#    manifest lists exactly them;
#  - cpack builds registry-list_<version>_<arch>.deb: its control fields, its Depends (runtime
#    libraries only, among them Debian's libcurl4, OpenSSL's libssl, expat, simdjson and
#    utf8proc), and its contents (exactly those files under /usr, owned by root, the program
#    being the stripped shipped build, never a test or loopback build), the program loading
#    Debian's libcurl and built with Debian's hardening (PIE, full RELRO, the stack protector
#    and fortified calls).
#
# Usage: check_package.sh BUILD_DIR
# CMAKE and CPACK name the CMake tools (default: from PATH). A missing tool is a failure, not a
# reason to skip: scripts/setup.sh installs them all.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE

if [[ $# -ne 1 || ! -f "$1/CMakeCache.txt" ]]; then
  echo "usage: $0 BUILD_DIR (a configured build directory)" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
cmake_tool=${CMAKE:-cmake}
cpack_tool=${CPACK:-cpack}

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
die() {
  echo "FAIL: $*" >&2
  exit 1
}

missing=()
for tool in "$cmake_tool" "$cpack_tool" mandoc dpkg dpkg-deb dpkg-shlibdeps file gzip strip \
            timeout readelf ldd; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
[[ ${#missing[@]} -eq 0 ]] || die "missing tools: ${missing[*]} (scripts/setup.sh installs them)"

cache_value() {  # NAME [CACHE_FILE]: the value of a cache entry, whatever its type
  sed -n "s/^$1:[A-Z]*=//p" "${2:-$build/CMakeCache.txt}" | head -n 1
}

source_dir=$(cache_value CMAKE_HOME_DIRECTORY)
version=$(cache_value CMAKE_PROJECT_VERSION)
description=$(cache_value CMAKE_PROJECT_DESCRIPTION)
arch=$(dpkg --print-architecture)
[[ -d "$source_dir" && -n "$version" && -n "$description" ]] ||
  die "cannot read the source directory, version and description from $build/CMakeCache.txt"
release_date=$(sed -n 's/^set(REGISTRY_RELEASE_DATE \([0-9-]*\))$/\1/p' \
               "$source_dir/cmake/packaging.cmake")
[[ "$release_date" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}$ ]] ||
  die "no REGISTRY_RELEASE_DATE in cmake/packaging.cmake"

strip_tool=$(cache_value CMAKE_STRIP)
strip_tool=${strip_tool:-strip}
program=$build/registry-list
page=$build/doc/registry-list.1
[[ -x "$program" ]] || die "$program is not built"
[[ -f "$page" && -f "$page.gz" ]] || die "$page(.gz) is missing: configure $build again"

work=$(mktemp -d "${TMPDIR:-/tmp}/registry-list-package.XXXXXX")
# `cmake --install` and cpack write their install manifests into the build directory; whatever
# a user installed from it must still be uninstallable afterwards.
manifests=(install_manifest.txt install_manifest_registry-list.txt)
mkdir "$work/saved"
for manifest in "${manifests[@]}"; do
  [[ ! -e "$build/$manifest" ]] || cp -p "$build/$manifest" "$work/saved/"
done
cleanup() {
  for manifest in "${manifests[@]}"; do
    if [[ -e "$work/saved/$manifest" ]]; then
      cp -p "$work/saved/$manifest" "$build/$manifest"
    else
      rm -f "$build/$manifest"
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# --- The man page -------------------------------------------------------------------------------

# Renders a page as plain text with every paragraph on one line. mandoc marks bold and underline
# by overstriking: a character, a backspace, then the character again (or "_" and a backspace
# before it). A character is one to four bytes in UTF-8, so the strip matches a lead byte and its
# continuation bytes before each backspace, byte by byte in the C locale.
render() {
  LC_ALL=C.UTF-8 mandoc -T utf8 -O width=1000 "$1" |
    LC_ALL=C sed 's/[^\x80-\xbf][\x80-\xbf]*\x08//g'
}

# The text of a tagged paragraph: its tag line and the indented lines up to the next blank line.
paragraph() {  # RENDERED TAG
  awk -v tag="$2" '
    found && /^[[:space:]]*$/ { exit }
    found { sub(/^[[:space:]]+/, ""); print; next }
    { line = $0; sub(/^[[:space:]]+/, "", line); if (line == tag) found = 1 }' <<<"$1"
}

# check_page PAGE CACHE: lints PAGE and checks it against the configuration in CACHE.
check_page() {
  local page=$1 cache=$2 lint status=0 text
  lint=$(mandoc -T lint "$page" 2>&1) || status=$?
  # mandoc's status is 1 when it has only style remarks, higher for anything worse.
  if ((status > 1)) || grep -v ': STYLE: ' <<<"$lint" | grep -q .; then
    fail "mandoc -T lint $page (status $status) reports more than style:"$'\n'"$lint"
  fi
  text=$(render "$page") || { fail "mandoc cannot render $page"; return; }

  # The values of the build, each on the line after "This build:", are escaped in the source, so
  # that every formatter prints them as they are: once the escapes are taken out, no backslash,
  # hyphen, quote, tilde or caret is left.
  local bare
  bare=$(awk 'previous == "This build:" { print } { previous = $0 }' "$page" |
         sed 's/\\f[BP]//g; s/\\[&%e-]//g; s/\\(\(aq\|ga\|ti\|ha\)//g' | grep "[-\\'\`~^]" || true)
  [[ -z "$bare" ]] || fail "$page: values with unescaped characters:"$'\n'"$bare"

  local expected_sections=(NAME SYNOPSIS DESCRIPTION OUTPUT "EXIT STATUS" ENVIRONMENT FILES CONFIGURATION
                           SECURITY EXAMPLES "SEE ALSO")
  local sections
  sections=$(grep -E '^[A-Z][A-Z ]*$' <<<"$text" | tr '\n' '|')
  [[ "$sections" == "$(printf '%s|' "${expected_sections[@]}")" ]] ||
    fail "$page: sections are '$sections'"
  grep -Eq '^[[:space:]]+registry-list - [a-z]' <<<"$text" ||
    fail "$page: no NAME line 'registry-list - ...'"
  [[ "$(tail -n 1 <<<"$text")" =~ ^registry-list\ $version\ +$release_date\ +REGISTRY-LIST\(1\)$ ]] ||
    fail "$page: footer is '$(tail -n 1 <<<"$text")', not version $version of $release_date"

  local key_file
  key_file=$(cache_value REGISTRY_CERTIFICATE_FILE "$cache")
  [[ -n "$(paragraph "$text" "$key_file")" ]] || fail "$page: FILES does not name '$key_file'"

  # The section is made from the list of settings: exactly its settings, each once and in its
  # order, so that none is lost, doubled or added by hand. Each is a cache entry.
  local listed tagged name
  listed=$(sed -n 's/^registry_setting(\([A-Z0-9_]*\) .*/REGISTRY_\1/p' \
           "$source_dir/cmake/settings.cmake")
  tagged=$(awk '/^\.SH / { configuration = $0 == ".SH CONFIGURATION" }
                configuration && previous == ".TP" { print }
                { previous = $0 }' "$page" | sed 's/^\.B //')
  (($(grep -c . <<<"$listed") >= 12)) || fail "cmake/settings.cmake: no list of settings found"
  [[ "$tagged" == "$listed" ]] ||
    fail "$page: CONFIGURATION describes other settings than cmake/settings.cmake, or in another" \
         "order:"$'\n'"$tagged"
  while IFS= read -r name; do
    grep -Eq "^$name:(STRING|BOOL)=" "$cache" || fail "$cache: no setting $name"
  done <<<"$listed"

  # Every setting of the program, with its value in this build.
  local name value body settings=0
  while IFS= read -r name; do
    settings=$((settings + 1))
    value=$(cache_value "$name" "$cache")
    body=$(paragraph "$text" "$name")
    if [[ -z "$body" ]]; then
      fail "$page: CONFIGURATION does not describe $name"
    elif [[ "$name" == REGISTRY_CERTIFICATE_PASSWORD ]]; then
      # Looked for as written and as rendered, where the escapes of the page's source are gone.
      if [[ "$value" != notasecret ]] &&
         { grep -qF -- "$value" "$page" || grep -qF -- "$value" <<<"$text"; }; then
        fail "$page shows the password of the key file"
      elif [[ "$value" == notasecret ]] && ! grep -qF 'This build: notasecret' <<<"$body"; then
        fail "$page does not show the service's public default password"
      fi
    elif [[ -z "$value" ]]; then
      grep -qF 'This build: (empty)' <<<"$body" || fail "$page: $name is not shown as empty"
    else
      grep -qF -- "This build: $value" <<<"$body" ||
        fail "$page: $name is not shown as '$value':"$'\n'"$body"
    fi
  done < <(sed -n 's/^\(REGISTRY_[A-Z0-9_]*\):\(STRING\|BOOL\)=.*/\1/p' "$cache" |
           grep -vE '^REGISTRY_(TEST_.*|BENCH_.*|SANITIZE|FUZZ|BENCH)$')
  ((settings >= 12)) || fail "$cache: only $settings REGISTRY_* settings found"
}

check_page "$page" "$build/CMakeCache.txt"
gzip -dc "$page.gz" | cmp -s - "$page" || fail "$page.gz is not $page compressed"

# A configuration whose values need escaping: a leading dot and apostrophe, backslashes (one of
# them before a font letter), hyphens, quotes, tilde and caret, non-ASCII text, an empty value
# and a password of one's own. It is only configured, not built.
odd_title=".Ger\\fBäte \\n -x 'q' \`~^\" 100%"
odd_key="'key-\\e.p12"
odd_password='pw-Odd-Secret-4711'
status=0
timeout 120 "$cmake_tool" -S "$source_dir" -B "$work/odd" -DBUILD_TESTING=OFF \
  "-DREGISTRY_SPREADSHEET_TITLE=$odd_title" "-DREGISTRY_CERTIFICATE_FILE=$odd_key" \
  "-DREGISTRY_CERTIFICATE_PASSWORD=$odd_password" "-DREGISTRY_CA_BUNDLE=" \
  "-DREGISTRY_TOKEN_URI=https://login.example-corp.test:8443/oauth-2/token" \
  -DREGISTRY_REPORT_FAILURE_CAUSE=ON >"$work/odd.log" 2>&1 || status=$?
if ((status != 0)); then
  fail "configuring with awkward values failed:"$'\n'"$(cat "$work/odd.log")"
elif [[ "$(cache_value REGISTRY_SPREADSHEET_TITLE "$work/odd/CMakeCache.txt")" != "$odd_title" ]]; then
  fail "CMake did not keep the awkward title as given; the check of the page's escaping is void"
else
  check_page "$work/odd/doc/registry-list.1" "$work/odd/CMakeCache.txt"
  if grep -qF -- "$odd_password" "$work/odd/doc/registry-list.1" ||
     grep -qF -- "$odd_password" <<<"$(render "$work/odd/doc/registry-list.1")"; then
    fail "the page shows a password of one's own"
  fi
fi

# Values that a setting cannot take stop the configuration with a message naming the setting and
# the value, before anything is made from them. Each case is only configured, in a directory of
# its own. CMake wraps the message, so spaces and line breaks are squeezed before the match.
refusals=(  # SETTING=VALUE|what CMake says after the setting's name
  "FEED_FORMAT=atom|must be gdata or sheets-v4, not 'atom'"
  "CONNECT_TIMEOUT_SECONDS=15s|must be a whole number of seconds, not '15s'"
  "STALL_TIMEOUT_SECONDS=030|must be a whole number of seconds, not '030'"
  "MAX_BODY_BYTES=|must be a whole number of bytes, not ''"
)
refused=0
for refusal in "${refusals[@]}"; do
  setting=REGISTRY_${refusal%%|*}
  message="${setting%%=*} ${refusal#*|}"
  refused=$((refused + 1))
  log=$work/refused-$refused.log
  if timeout 120 "$cmake_tool" -S "$source_dir" -B "$work/refused-$refused" -DBUILD_TESTING=OFF \
       "-D$setting" >"$log" 2>&1; then
    fail "configuring with $setting succeeded"
  elif ! tr -s ' \n' ' ' <"$log" | grep -qF -- "$message"; then
    fail "configuring with $setting did not say \"$message\":"$'\n'"$(cat "$log")"
  fi
done

# --- cmake --install ----------------------------------------------------------------------------

expected_files=(bin/registry-list share/doc/registry-list/README.md share/man/man1/registry-list.1)
expected_dirs=(bin share share/doc share/doc/registry-list share/man share/man/man1)
sorted() { printf '%s\n' "$@" | LC_ALL=C sort; }

prefix=$work/prefix
if ! timeout 60 "$cmake_tool" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  fail "cmake --install failed:"$'\n'"$(cat "$work/install.log")"
else
  installed=$(cd "$prefix" && find . -mindepth 1 ! -type d | sed 's|^\./||' | LC_ALL=C sort)
  [[ "$installed" == "$(sorted "${expected_files[@]}")" ]] ||
    fail "cmake --install put other files in place:"$'\n'"$installed"
  installed=$(cd "$prefix" && find . -mindepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort)
  [[ "$installed" == "$(sorted "${expected_dirs[@]}")" ]] ||
    fail "cmake --install made other directories:"$'\n'"$installed"
  listed=$(LC_ALL=C sort "$build/install_manifest.txt")
  [[ "$listed" == "$(sorted "${expected_files[@]/#/$prefix/}")" ]] ||
    fail "the install manifest lists other files:"$'\n'"$listed"
  cmp -s "$prefix/bin/registry-list" "$program" || fail "bin/registry-list is not $program"
  [[ -x "$prefix/bin/registry-list" ]] || fail "bin/registry-list is not executable"
  cmp -s "$prefix/share/man/man1/registry-list.1" "$page" || fail "the man page differs"
  cmp -s "$prefix/share/doc/registry-list/README.md" "$source_dir/README.md" ||
    fail "the README differs"
fi

# The package holds the page compressed and the copyright file besides.
expected_files=(bin/registry-list share/doc/registry-list/README.md
                share/doc/registry-list/copyright share/man/man1/registry-list.1.gz)

# --- The Debian package ---------------------------------------------------------------------------

if ! timeout 120 "$cpack_tool" --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" \
       >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  die "cpack failed"
fi
deb_name=registry-list_${version}_${arch}.deb
shopt -s nullglob
debs=("$work/pkg"/*.deb)
shopt -u nullglob
[[ "${debs[*]}" == "$work/pkg/$deb_name" ]] || die "cpack made '${debs[*]##*/}', not $deb_name"
deb=$work/pkg/$deb_name

info=$(dpkg-deb --info "$deb") || die "dpkg-deb --info $deb failed"
field() { dpkg-deb --field "$deb" "$1"; }
[[ "$(field Package)" == registry-list ]] || fail "Package: $(field Package)"
[[ "$(field Version)" == "$version" ]] || fail "Version: $(field Version), not $version"
[[ "$(field Architecture)" == "$arch" ]] || fail "Architecture: $(field Architecture)"
[[ "$(field Section)" == utils ]] || fail "Section: $(field Section)"
[[ "$(field Priority)" == optional ]] || fail "Priority: $(field Priority)"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^@\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[[ "$(field Installed-Size)" =~ ^[0-9]+$ ]] || fail "Installed-Size: $(field Installed-Size)"
description_lines=$(field Description)
[[ "$(head -n 1 <<<"$description_lines")" == "$description" ]] ||
  fail "the Description's synopsis is not '$description'"
(($(wc -l <<<"$description_lines") >= 3)) || fail "the Description has no extended description"
if awk 'length($0) > 80' <<<"$description_lines" | grep -q .; then
  fail "the Description has lines over 80 columns:"$'\n'"$description_lines"
fi

# Depends, as worked out from the program: runtime libraries only, and the system's trust store
# when the build has no CA bundle of its own.
depends=$(field Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/[[:space:]]//g' | grep . | LC_ALL=C sort -u)
if [[ -z "$(cache_value REGISTRY_CA_BUNDLE)" ]]; then
  grep -qx ca-certificates <<<"$depends" || fail "Depends lacks ca-certificates"
fi
wanted_packages=('^libc6$' '^libstdc\+\+6$' '^libcurl4$' '^libssl3' '^libexpat1$'
                 '^libsimdjson[0-9]+$' '^libutf8proc[0-9]+$')
for wanted in "${wanted_packages[@]}"; do
  grep -Eq "$wanted" <<<"$depends" || fail "Depends has no package matching $wanted"
done
while IFS= read -r package; do
  [[ "$package" != ca-certificates ]] || continue
  if [[ ! "$package" =~ ^lib || "$package" =~ -dev$ ||
        "$package" =~ gtest|gmock|httplib|nlohmann ]]; then
    fail "Depends names $package, which is no runtime library of the program"
  fi
done <<<"$depends"

# Contents: exactly the files, under /usr, owned by root, with the usual modes.
expected_entries=('drwxr-xr-x root/root ./usr/')
for dir in "${expected_dirs[@]}"; do
  expected_entries+=("drwxr-xr-x root/root ./usr/$dir/")
done
for file in "${expected_files[@]}"; do
  mode=-rw-r--r--
  [[ "$file" != bin/* ]] || mode=-rwxr-xr-x
  expected_entries+=("$mode root/root ./usr/$file")
done
contents=$(dpkg-deb --contents "$deb" | awk '{ print $1, $2, $6 }' | LC_ALL=C sort -k3)
[[ "$contents" == "$(printf '%s\n' "${expected_entries[@]}" | LC_ALL=C sort -k3)" ]] ||
  fail "the package holds other entries:"$'\n'"$contents"

unpacked=$work/unpacked
dpkg-deb --extract "$deb" "$unpacked" || die "dpkg-deb --extract failed"
packaged=$unpacked/usr/bin/registry-list
if [[ -f "$packaged" ]]; then
  [[ "$(file -b "$packaged")" =~ ELF.*,\ stripped ]] || fail "the packaged program is not stripped"
  "$strip_tool" -o "$work/stripped" "$program"
  cmp -s "$packaged" "$work/stripped" || fail "the packaged program is not $program, stripped"
  # Debian's shared libcurl, so that its security updates reach the program, and Debian's
  # hardening: PIE, full RELRO (read-only relocations, bound before main), the stack protector
  # and fortified calls, of which the program makes at least one.
  linkage=(  # what|command run on the program|extended regex its output must match
    "Debian's libcurl|ldd|^[[:space:]]libcurl\.so\.4 => /"
    "ELF type DYN|readelf -hW|^ *Type: +DYN "
    "the PIE flag|readelf -dW|\(FLAGS_1\) +Flags:.* PIE"
    "RELRO|readelf -lW|^ *GNU_RELRO "
    "BIND_NOW|readelf -dW|\(FLAGS\) +BIND_NOW|\(FLAGS_1\) +Flags:.* NOW"
    "the stack protector|readelf --dyn-syms -W| UND __stack_chk_fail@"
    "fortified calls|readelf --dyn-syms -W| UND __[a-z0-9_]+_chk@"
  )
  for check in "${linkage[@]}"; do
    what=${check%%|*}
    check=${check#*|}
    read -r -a command <<<"${check%%|*}"
    output=$("${command[@]}" "$packaged" 2>&1) || fail "${command[*]} $packaged failed"
    grep -Eq -- "${check#*|}" <<<"$output" ||
      fail "the packaged program lacks $what: no '${check#*|}' in ${command[*]}"
  done
fi
packaged_page=$unpacked/usr/share/man/man1/registry-list.1.gz
if [[ -f "$packaged_page" ]]; then
  # A gzip header without a file name (FLG 0) and without a time stamp (MTIME 0).
  [[ "$(od -An -tx1 -j3 -N5 "$packaged_page" | tr -d ' \n')" == 0000000000 ]] ||
    fail "the packaged man page's gzip header has a name or time stamp"
  gzip -dc "$packaged_page" | cmp -s - "$page" || fail "the packaged man page is not $page"
fi
cmp -s "$unpacked/usr/share/doc/registry-list/README.md" "$source_dir/README.md" ||
  fail "the packaged README differs"
cmp -s "$unpacked/usr/share/doc/registry-list/copyright" "$source_dir/doc/copyright" ||
  fail "the packaged copyright file differs"
head -n 1 "$unpacked/usr/share/doc/registry-list/copyright" |
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in the Debian copyright format"

if ((failures > 0)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package $deb_name, the man page and cmake --install: all checks passed"
echo "$info" | sed -n 's/^ \(Depends:.*\)/\1/p'
