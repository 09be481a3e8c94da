#!/usr/bin/env bash
# Installs what building and testing registry-list need on Debian 12. Every entry point (the
# demo, the test suite, CI) calls this one script. Packages already present are not fetched
# again, so it also works without a network once they are installed.
# `setup.sh windows` adds what the Windows cross-build needs (scripts/windows.sh).
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE

# dpkg-dev and file: the Debian package's dependencies (dpkg-shlibdeps) and the hardening flags
# (dpkg-buildflags). locales: the definitions a test compiles a Latin-1 locale from, to show
# that the output does not depend on the caller's locale.
packages=(
  build-essential cmake pkg-config ca-certificates openssl util-linux mandoc dpkg-dev file
  locales libcurl4-openssl-dev libssl-dev zlib1g-dev libexpat1-dev libsimdjson-dev libutf8proc-dev
  libgtest-dev libcpp-httplib-dev nlohmann-json3-dev
  clang libfuzzer-14-dev libclang-rt-14-dev curl libbenchmark-dev
)
if [ "${1:-}" = windows ]; then
  # The MinGW-w64 cross compilers (posix thread model) and Debian's zlib for that target; Wine
  # (wine64 is the 64-bit loader, wine the wrapper commands such as wineboot) to run the .exe;
  # perl for OpenSSL's Configure, zip for the release archive; xz-utils unpacks the libraries'
  # Debian source packages.
  packages+=(
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 perl zip xz-utils
  )
elif [ $# -gt 0 ]; then
  echo "usage: setup.sh [windows]" >&2
  exit 2
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "setup: installing ${missing[*]}" >&2
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
