#!/usr/bin/env bash
# The Windows build of registry-list: a 64-bit .exe cross-compiled with MinGW-w64 on Debian 12 and
# tested under Wine.
#
#   windows.sh deps      cross-builds the libraries the program links, statically, into
#                        .deps/win64/prefix, and writes .deps/win64/cmake-args: the arguments a
#                        configure of the program needs, one a line
#   windows.sh build     deps, then registry-list.exe and the loopback programs in build-win64/
#   windows.sh test      build, then the tests that run those programs under Wine
#   windows.sh package   build, then build-win64/registry-list-<version>-win64.zip, checked
#
# The loopback programs talk to the fake service of a Linux build, LINUX_BUILD_DIR (build/ by
# default, made by scripts/build.sh when it is missing): its port and its test PKI. WIN64_DEPS_DIR
# puts the deps folder elsewhere (for example a cache that outlives the checkout),
# WIN64_BUILD_DIR the Windows build.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE

root=$(cd "$(dirname "$0")/.." && pwd)
toolchain=$root/cmake/toolchains/mingw-w64-x86_64.cmake
deps_dir=${WIN64_DEPS_DIR:-$root/.deps/win64}
prefix=$deps_dir/prefix
cmake_args_file=$deps_dir/cmake-args
jobs=$(nproc)
win_build=${WIN64_BUILD_DIR:-$root/build-win64}
linux_build=${LINUX_BUILD_DIR:-$root/build}
wine=/usr/lib/wine/wine64

# ---------------------------------------------------------------------------------------------
# deps
#
# The libraries are the ones the Linux build links, at the versions Debian 12 has, built from
# Debian's source packages as scripts/lib/deps.sh describes; the key of each also covers the
# toolchain file and the compiler. zlib is Debian's own MinGW-w64 build (libz-mingw-w64-dev).
# ---------------------------------------------------------------------------------------------

# Build order; curl links OpenSSL and so comes after it.
libraries=(openssl expat simdjson utf8proc curl)
declare -A dev_package=(
  [openssl]=libssl-dev [curl]=libcurl4-openssl-dev [expat]=libexpat1-dev
  [simdjson]=libsimdjson-dev [utf8proc]=libutf8proc-dev
)
declare -A links=([curl]=openssl)

# Each build function gets the unpacked source tree and an empty build folder, and installs
# into $prefix.

build_openssl() {
  local src=$1 build=$2
  # no-shared: static libraries only. no-module: the providers, the legacy one included (RC2
  # and 3DES, which old PKCS#12 files are encrypted with), are built into libcrypto rather than
  # being DLLs looked for at run time. --libdir=lib: mingw64 would say lib64.
  (cd "$build" &&
    CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar RANLIB=x86_64-w64-mingw32-ranlib \
      RC=x86_64-w64-mingw32-windres \
      perl "$src/Configure" mingw64 no-shared no-module no-tests \
      --prefix="$prefix" --libdir=lib)
  # libcrypto keeps three folders in its code: OPENSSLDIR (openssl.cnf, read at start-up, and
  # the default certificates), ENGINESDIR and MODULESDIR (engines and providers loaded by
  # name). Left alone they would be folders of this machine, which Windows reads as
  # C:\work\... on the current drive: a place any user may create, to plant a configuration
  # or a DLL in. These are the folders OpenSSL's own Windows builds use, writable by
  # administrators only.
  local dirs=(
    "OPENSSLDIR=C:/Program Files/Common Files/SSL"
    "ENGINESDIR=C:/Program Files/OpenSSL/lib/engines-3"
    "MODULESDIR=C:/Program Files/OpenSSL/lib/ossl-modules"
  )
  # build_libs and install_dev: the libraries, headers and .pc files without the openssl
  # program and the manuals.
  make -C "$build" -j"$jobs" "${dirs[@]}" build_libs
  make -C "$build" "${dirs[@]}" install_dev
}

build_curl() {
  # The program's minimal libcurl, statically linking OpenSSL and zlib, and no SSPI (NTLM and
  # Negotiate through Windows) either. No CA bundle or folder is compiled in: the one of this
  # machine means nothing on Windows, where the program passes a bundle or asks for
  # CURLSSLOPT_NATIVE_CA (the Windows certificate store, which this build has through
  # USE_WIN32_CRYPTO).
  local options
  mapfile -t options < <(minimal_curl_options)
  cmake_project "$1" "$2" "${options[@]}" \
    -DCURL_USE_SCHANNEL=OFF -DCURL_WINDOWS_SSPI=OFF -DUSE_WIN32_IDN=OFF \
    -DOPENSSL_USE_STATIC_LIBS=TRUE -DZLIB_USE_STATIC_LIBS=TRUE \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none
}

build_expat() {
  cmake_configure "$1/expat" "$2" \
    -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF \
    -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_FUZZERS=OFF
  # Debian builds expat with autotools, whose config.h says "#define XML_DTD 1", and its
  # security patches test "#if XML_DTD == 1"; expat's CMake header defines XML_DTD and XML_NS
  # empty, which that test cannot read. Give them autotools' values.
  sed -i -E 's/^#define (XML_DTD|XML_NS)$/#define \1 1/' "$2/expat_config.h"
  grep -q '^#define XML_DTD 1$' "$2/expat_config.h"
  cmake_build_install "$2"
  # CMake's FindEXPAT (before 3.28) knows no static expat: its EXPAT::EXPAT lacks XML_STATIC,
  # which expat's users need so that expat.h does not declare the functions as DLL imports
  # (it does for compilers with MSVC extensions). This one, found first through
  # CMAKE_MODULE_PATH, adds it.
  mkdir -p "$prefix/share/cmake/Modules"
  cat >"$prefix/share/cmake/Modules/FindEXPAT.cmake" <<'EOF'
# Installed by scripts/windows.sh deps: CMake's own FindEXPAT, and XML_STATIC for the users of
# EXPAT::EXPAT, since the expat of this prefix is a static library.
include(${CMAKE_ROOT}/Modules/FindEXPAT.cmake)
if(TARGET EXPAT::EXPAT)
  get_property(_win64_expat_definitions TARGET EXPAT::EXPAT
               PROPERTY INTERFACE_COMPILE_DEFINITIONS)
  if(NOT "XML_STATIC" IN_LIST _win64_expat_definitions)
    set_property(TARGET EXPAT::EXPAT APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS XML_STATIC)
  endif()
  unset(_win64_expat_definitions)
endif()
EOF
}

build_simdjson() {
  cmake_project "$1" "$2" -DSIMDJSON_DEVELOPER_MODE=OFF -DSIMDJSON_ENABLE_THREADS=ON
}

build_utf8proc() {
  cmake_project "$1" "$2" -DUTF8PROC_INSTALL=ON -DUTF8PROC_ENABLE_TESTING=OFF
  # The .pc file utf8proc's CMake build writes gives its users UTF8PROC_EXPORTS, which would
  # make them export utf8proc's functions from the .exe; a static library's users need
  # UTF8PROC_STATIC instead (otherwise the functions are DLL imports on Windows).
  local version
  version=$(sed -n 's/^project *(utf8proc VERSION \([0-9.]*\).*/\1/p' "$1/CMakeLists.txt")
  cat >"$prefix/lib/pkgconfig/libutf8proc.pc" <<EOF
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libutf8proc
Description: UTF8 processing (static)
Version: $version
Libs: -L\${libdir} -lutf8proc
Cflags: -I\${includedir} -DUTF8PROC_STATIC
EOF
}

# cmake_project SOURCE BUILD [OPTION...] configures, builds and installs a CMake project with
# the toolchain file, as a static Release build.
cmake_project() {
  cmake_configure "$@"
  cmake_build_install "$2"
}

cmake_configure() {
  local src=$1 build=$2
  shift 2
  # No emulator: the libraries' configure checks must not start Wine.
  cmake -S "$src" -B "$build" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DWIN64_DEPS_PREFIX="$prefix" \
    -DCMAKE_CROSSCOMPILING_EMULATOR= -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib "$@"
}

cmake_build_install() {
  cmake --build "$1" --parallel "$jobs"
  cmake --install "$1"
}

say() { echo "windows.sh ${stage:-}: $*" >&2; }
die() {
  say "$*"
  exit 1
}

# Fetching, keys and stamps.
# shellcheck source=scripts/lib/deps.sh
source "$root/scripts/lib/deps.sh"

# What every library's build depends on besides its own source.
deps_common_key() {
  cat "$toolchain"
  x86_64-w64-mingw32-gcc-posix --version | head -n 1
  dpkg-query -W -f='${Version}\n' mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  cmake --version | head -n 1
  declare -f cmake_project cmake_configure cmake_build_install
}
deps_library_key() {
  [ "$1" != curl ] || {
    dpkg-query -W -f='${Version}\n' libz-mingw-w64-dev
    declare -f minimal_curl_options
  }
}

deps() {
  bash "$root/scripts/setup.sh" windows
  local lib missing=() start
  start=$(date +%s)
  deps_build_all

  for lib in libssl.a libcrypto.a libcurl.a libexpat.a libsimdjson.a libutf8proc.a; do
    [ -f "$prefix/lib/$lib" ] || missing+=("$lib")
  done
  [ ${#missing[@]} -eq 0 ] || die "the prefix lacks ${missing[*]}; remove $deps_dir and run again"

  # What a configure of the program needs, one argument a line.
  local args=(
    "-DCMAKE_TOOLCHAIN_FILE=$toolchain"
    "-DWIN64_DEPS_PREFIX=$prefix"
    "-DCMAKE_PREFIX_PATH=$prefix"
    "-DCMAKE_MODULE_PATH=$prefix/share/cmake/Modules"
    "-DOPENSSL_USE_STATIC_LIBS=TRUE"
    "-DZLIB_USE_STATIC_LIBS=TRUE"
  )
  printf '%s\n' "${args[@]}" >"$cmake_args_file.new"
  if cmp -s "$cmake_args_file.new" "$cmake_args_file"; then
    rm -f "$cmake_args_file.new"
  else
    mv "$cmake_args_file.new" "$cmake_args_file"
  fi

  say "ready in $(($(date +%s) - start)) s: $(deps_versions)"
  say "configure the program with the arguments in $cmake_args_file:"
  printf '  %q\n' "${args[@]}" >&2
}

# ---------------------------------------------------------------------------------------------
# build, test, package
# ---------------------------------------------------------------------------------------------

# cache_value <build folder> <variable>: a value from a CMake cache.
cache_value() {
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

build_program() {
  deps
  # The Linux build gives the fake service's port and PKI; its runner of the Windows tests is
  # made in the test stage.
  [ -f "$linux_build/CMakeCache.txt" ] ||
    BUILD_DIR=$linux_build BUILD_TARGETS=test_pki bash "$root/scripts/build.sh"
  local port pki args
  port=$(cache_value "$linux_build" REGISTRY_TEST_PORT)
  pki=$(cache_value "$linux_build" REGISTRY_TEST_PKI_DIR)
  { [ -n "$port" ] && [ -n "$pki" ]; } || die "$linux_build is not a build with BUILD_TESTING=ON"
  cmake --build "$linux_build" --target test_pki >/dev/null
  mapfile -t args <"$cmake_args_file"
  cmake -S "$root" -B "$win_build" "${args[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
    "-DREGISTRY_TEST_PORT=$port" "-DREGISTRY_TEST_PKI_DIR=$pki" >/dev/null
  cmake --build "$win_build" --parallel "$jobs"
}

# Wine keeps its Windows tree (the "prefix") in the build folder, made once; wineserver, which
# Wine starts for it, is told to end when the stage does.
wine_prefix=$win_build/wine
stop_wineserver() { WINEPREFIX=$wine_prefix /usr/lib/wine/wineserver64 -k 2>/dev/null || true; }

run_tests() {
  build_program
  BUILD_DIR=$linux_build BUILD_TARGETS=windows_tests bash "$root/scripts/build.sh"
  export WINEPREFIX=$wine_prefix WINEDEBUG=-all
  # No Mono or Gecko: nothing here needs .NET or a browser, and Wine would offer to download them.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  trap stop_wineserver EXIT
  # The server and Wine's services (started by wineboot, which makes the prefix the first time)
  # are kept running for the whole stage: otherwise each program would start them anew, about
  # 3 s a run.
  mkdir -p "$wine_prefix"
  /usr/lib/wine/wineserver64 -p
  local init=()
  [ -f "$wine_prefix/system.reg" ] || init=(--init)
  timeout 300 "$wine" wineboot "${init[@]}" >"$win_build/wineboot.log" 2>&1 ||
    die "wineboot failed: see $win_build/wineboot.log"
  local log=$win_build/wine-test.log
  : >"$log"
  REGISTRY_WINDOWS_BUILD=$win_build REGISTRY_WINE=$wine REGISTRY_WINE_LOG=$log \
    "$linux_build/tests/windows_tests" --gtest_brief=1 ||
    die "the Windows tests failed; Wine's messages and the programs' standard error are in $log"
}

package() {
  build_program
  local version name archive listing imports unexpected
  version=$(cache_value "$win_build" CMAKE_PROJECT_VERSION)
  name=registry-list-$version-win64
  archive=$win_build/$name.zip
  rm -f "$archive"
  (cd "$win_build" && cpack -G ZIP >/dev/null)
  # Exactly the program, the README and the licence, in one folder of the package's name.
  listing=$(cmake -E tar tf "$archive" | sort)
  [ "$listing" = "$(printf '%s\n' "$name/LICENSE" "$name/README.md" "$name/registry-list.exe")" ] ||
    die "$archive holds other files than expected:"$'\n'"$listing"
  # Statically linked: the .exe imports only DLLs that every Windows has.
  imports=$(x86_64-w64-mingw32-objdump -p "$win_build/registry-list.exe" |
    sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort -u)
  unexpected=$(comm -23 <(echo "$imports") <(printf '%s\n' advapi32.dll bcrypt.dll crypt32.dll \
    kernel32.dll msvcrt.dll user32.dll ws2_32.dll))
  [ -z "$unexpected" ] || die "registry-list.exe needs DLLs that Windows lacks: $unexpected"
  say "package: $archive"
}

stage=${1:-}
case $stage in
  deps) deps ;;
  build) build_program ;;
  test) run_tests ;;
  package) package ;;
  *)
    echo "usage: windows.sh deps|build|test|package" >&2
    exit 2
    ;;
esac
