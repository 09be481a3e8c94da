#!/usr/bin/env bash
# Builds the libcurl that the Linux build links by default (REGISTRY_CURL=bundled): a static
# library with HTTP and HTTPS over the system's OpenSSL, with the system's zlib for compressed
# answers, and nothing else, from Debian's source of the installed libcurl4-openssl-dev, into
# .deps/linux/prefix (CURL_DEPS_DIR puts the deps folder elsewhere). scripts/setup.sh runs it;
# a run with nothing changed does nothing.
#
# Why: Debian's libcurl links some thirty libraries for what this program never does (LDAP,
# Kerberos, SSH, RTMP, GnuTLS, IDN, PSL, HTTP/2, brotli, zstd). The loader maps and relocates
# each of them in every run, which costs about 10 ms before main(): a third of a run of a
# thousand rows. OpenSSL and zlib stay the system's shared libraries, so their security updates
# reach the program as they reach everything else; an update of Debian's curl changes the pin
# and so rebuilds this one at the next setup.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE

root=$(cd "$(dirname "$0")/.." && pwd)
deps_dir=${CURL_DEPS_DIR:-$root/.deps/linux}
prefix=$deps_dir/prefix
jobs=$(nproc)

libraries=(curl)
declare -A dev_package=([curl]=libcurl4-openssl-dev)
declare -A links=()

say() { echo "curl.sh: $*" >&2; }
die() {
  say "$*"
  exit 1
}

build_curl() {
  # Position-independent, to be linked into the program's PIE. The system's trust store is
  # read from its folder of certificates named by hash, where OpenSSL opens only the one CA a
  # server's chain needs, and not from the bundle file Debian's libcurl reads, whose 140-odd
  # certificates take 25 to 30 ms to load in every run. ca-certificates fills both from the
  # same certificates. The program names its own bundle when the build sets one.
  local options
  mapfile -t options < <(minimal_curl_options)
  cmake -S "$1" -B "$2" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib "${options[@]}" \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=/etc/ssl/certs
  cmake --build "$2" --parallel "$jobs"
  cmake --install "$2"
}

# What the build depends on besides curl's source and its options: the compiler, CMake, and
# the headers of the OpenSSL and zlib it is compiled against.
deps_common_key() {
  cc --version | head -n 1
  cmake --version | head -n 1
  dpkg-query -W -f='${Version}\n' libssl-dev zlib1g-dev
}
deps_library_key() { declare -f minimal_curl_options; }

# Fetching, keys and stamps: shared with the Windows build of the libraries.
# shellcheck source=scripts/lib/deps.sh
source "$root/scripts/lib/deps.sh"

deps_build_all
if [ ! -f "$prefix/lib/cmake/CURL/CURLConfig.cmake" ] || [ ! -f "$prefix/lib/libcurl.a" ]; then
  die "$prefix lacks libcurl; remove $deps_dir and run again"
fi
