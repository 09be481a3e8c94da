# shellcheck shell=bash
# shellcheck disable=SC2154 # the sourcing script sets deps_dir, prefix and the tables
# Builds libraries from Debian's source packages, for scripts/windows.sh: the source of each
# library is the source package and version of an installed -dev package (its "pin"), fetched
# with apt-get source from the archive this machine's apt already uses, with Debian's patches
# applied, and built into one prefix.
#
# Each library has a key: a hash of its pin, its build function, what the caller says every
# build depends on and the keys of what it links. A library whose key matches its stamp is not
# touched, so a run with nothing changed does nothing; a library that is rebuilt first has the
# files it installed last time removed.
#
# The sourcing script sets deps_dir, prefix, libraries (in build order), dev_package (library
# to -dev package) and links (library to the libraries of this prefix it links), defines
# build_LIB SOURCE BUILD for each library, say and die, deps_common_key (prints what every
# build depends on besides its own source) and deps_library_key LIB (prints what else LIB's
# build depends on, or nothing), then calls deps_build_all.

# minimal_curl_options prints, one a line, the CMake options of the libcurl the program needs:
# HTTP and HTTPS over OpenSSL, with zlib for compressed answers, and nothing else (no other
# protocol, HTTP/2, IDN, PSL, brotli, zstd, SSH, GSS-API or c-ares). The build of curl adds what
# its platform needs, and puts this function in curl's key.
minimal_curl_options() {
  printf '%s\n' \
    -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF -DCURL_ENABLE_EXPORT_TARGET=ON \
    -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
    -DCURL_USE_OPENSSL=ON -DCURL_ZLIB=ON \
    -DUSE_NGHTTP2=OFF -DUSE_NGTCP2=OFF -DUSE_QUICHE=OFF -DUSE_LIBIDN2=OFF \
    -DCURL_USE_LIBPSL=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DENABLE_ARES=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF -DCURL_CA_FALLBACK=OFF
}

# upstream_line VERSION prints the upstream major.minor of a Debian version: 3.0 for
# 3.0.19-1~deb12u2.
upstream_line() {
  local version=${1#*:}
  version=${version%-*}
  echo "$version" | cut -d. -f1,2
}

# newest_first VERSION... prints the versions one a line, newest first, in Debian's order.
newest_first() {
  local sorted=() version i
  for version in "$@"; do
    i=${#sorted[@]}
    sorted+=("$version")
    while [ "$i" -gt 0 ] && dpkg --compare-versions "${sorted[i - 1]}" lt "$version"; do
      sorted[i]=${sorted[i - 1]}
      i=$((i - 1))
    done
    sorted[i]=$version
  done
  [ ${#sorted[@]} -eq 0 ] || printf '%s\n' "${sorted[@]}"
}

# A private apt setup inside the deps folder: deb-src entries made from the machine's own
# sources (both the one-line and the deb822 form), and index files of their own, so the
# system's apt configuration and lists are left as they are.
apt_dir=$deps_dir/apt
apt_options=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list"
  -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
)
# apt hands downloads to its unprivileged _apt user, which may not write in this folder.
[ "$(id -u)" -ne 0 ] || apt_options+=(-o "APT::Sandbox::User=root")
apt_ready=false

apt_prepare() {
  $apt_ready && return 0
  local source_list parts file
  eval "$(apt-config shell source_list Dir::Etc::SourceList/f parts Dir::Etc::SourceParts/d)"
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial"
  for file in "$source_list" "$parts"*.list; do
    [ -f "$file" ] || continue
    sed -n -E 's/^[[:space:]]*deb(-src)?([[:space:]])/deb-src\2/p' "$file"
  done | awk '!seen[$0]++' >"$apt_dir/sources.list"
  for file in "$parts"*.sources; do
    [ -f "$file" ] || continue
    sed -E 's/^Types:.*/Types: deb-src/I' "$file" >"$apt_dir/sources.list.d/${file##*/}"
  done
  say "reading the source package lists"
  apt-get "${apt_options[@]}" -qq update >"$deps_dir/logs/apt-update.log" 2>&1 || {
    tail -n 20 "$deps_dir/logs/apt-update.log" >&2
    die "apt-get update of the deb-src lists failed"
  }
  apt_ready=true
}

# fetch_source LIB sets source_tree to the folder of LIB's unpacked source and writes the
# Debian version it is to state/LIB.source. The pin comes first; when the archive no longer has it
# (Debian's archive keeps only the newest version of each suite), the newest of the same
# upstream line that can be downloaded.
fetch_source() {
  local lib=$1
  local source=${pin_source[$lib]} pinned=${pin_version[$lib]} log=$deps_dir/logs/$lib.log
  local downloads=$deps_dir/src/download recorded version tree listed=() candidates=()
  # The tree chosen for this pin last time, if it is still there: no network needed.
  recorded=$(cat "$deps_dir/state/$lib.source" 2>/dev/null || true)
  if [ "${recorded% *}" = "$source $pinned" ]; then
    version=${recorded##* }
    tree=$deps_dir/src/${source}_${version#*:}
    if [ -f "$tree/.unpacked" ]; then
      source_tree=$tree
      return 0
    fi
  fi
  apt_prepare
  mkdir -p "$downloads"
  mapfile -t listed < <(
    apt-cache "${apt_options[@]}" showsrc --only-source "$source" 2>/dev/null |
      sed -n 's/^Version: //p' | sort -u |
      while read -r version; do
        [ "$(upstream_line "$version")" != "$(upstream_line "$pinned")" ] || echo "$version"
      done
  )
  mapfile -t candidates < <(newest_first "${listed[@]}")
  for version in "$pinned" "${candidates[@]}"; do
    tree=$deps_dir/src/${source}_${version#*:}
    if [ ! -f "$tree/.unpacked" ]; then
      (cd "$downloads" && apt-get "${apt_options[@]}" -qq --download-only source \
        "$source=$version") >>"$log" 2>&1 || continue
      rm -rf "$tree"
      dpkg-source -x "$downloads/${source}_${version#*:}.dsc" "$tree" >>"$log" 2>&1 || {
        tail -n 20 "$log" >&2
        die "$lib: dpkg-source could not unpack $source $version"
      }
      touch "$tree/.unpacked"
    fi
    echo "$source $pinned $version" >"$deps_dir/state/$lib.source"
    source_tree=$tree
    return 0
  done
  tail -n 20 "$log" >&2
  die "$lib: no version of $source ${pinned%%-*}... could be downloaded (pinned: $pinned)"
}

# prefix_files lists the prefix's files, relative to it.
prefix_files() {
  (cd "$prefix" && find . ! -type d | sort)
}

# installed LIB tells whether LIB is installed with the current key, all its files still there.
installed() {
  local lib=$1 file
  [ "$(cat "$deps_dir/state/$lib.key" 2>/dev/null)" = "${key[$lib]}" ] || return 1
  while IFS= read -r file; do
    [ -e "$prefix/$file" ] || return 1
  done <"$deps_dir/state/$lib.files"
}

# uninstall LIB removes the files LIB installed last time, and its stamp.
uninstall() {
  local lib=$1 file
  rm -f "$deps_dir/state/$lib.key"
  [ -f "$deps_dir/state/$lib.files" ] || return 0
  while IFS= read -r file; do
    rm -f "$prefix/$file"
  done <"$deps_dir/state/$lib.files"
  rm -f "$deps_dir/state/$lib.files"
}

# build LIB builds and installs LIB, logging to logs/LIB.log, and prints one line.
build() {
  local lib=$1
  local build=$deps_dir/build/$lib log=$deps_dir/logs/$lib.log start rc
  local source pinned version note=""
  : >"$log"
  fetch_source "$lib"
  read -r source pinned version <"$deps_dir/state/$lib.source"
  [ "$version" = "$pinned" ] ||
    note=" (the archive no longer has $pinned, the version of the installed ${dev_package[$lib]})"
  uninstall "$lib"
  rm -rf "$build"
  mkdir -p "$build"
  prefix_files >"$deps_dir/state/$lib.before"
  start=$(date +%s)
  # The subshell stops at the first failing command: set -e holds in it because it is not
  # part of a tested command (an "if" or "||" would switch it off inside, whatever it says).
  set +e
  (
    set -e
    build_"$lib" "$source_tree" "$build"
  ) >>"$log" 2>&1
  rc=$?
  set -e
  # Whatever got installed, even by a failed build, is this library's to remove next time.
  prefix_files | comm -13 "$deps_dir/state/$lib.before" - >"$deps_dir/state/$lib.files"
  rm -f "$deps_dir/state/$lib.before"
  if [ "$rc" -ne 0 ]; then
    say "$lib $version: build failed; the end of $log:"
    tail -n 40 "$log" >&2
    exit 1
  fi
  echo "${key[$lib]}" >"$deps_dir/state/$lib.key"
  say "$lib $version built in $(($(date +%s) - start)) s$note"
}

# deps_build_all builds every library whose key changed, one run at a time.
deps_build_all() {
  mkdir -p "$deps_dir/logs" "$deps_dir/state" "$deps_dir/src" "$deps_dir/build" "$prefix"
  # One run at a time: a second one waits, then finds everything done.
  exec 9>"$deps_dir/.lock"
  flock -w 3600 9 || die "another build of $deps_dir has held its lock for an hour"

  local lib line common dependency
  declare -gA pin_source pin_version key
  for lib in "${libraries[@]}"; do
    line=$(dpkg-query -W -f='${source:Package} ${source:Version}' "${dev_package[$lib]}")
    pin_source[$lib]=${line% *}
    pin_version[$lib]=${line#* }
  done
  common=$(
    {
      echo "$prefix"
      deps_common_key
    } | sha256sum
  )
  for lib in "${libraries[@]}"; do
    key[$lib]=$(
      {
        echo "$common ${pin_source[$lib]} ${pin_version[$lib]}"
        declare -f "build_$lib"
        for dependency in ${links[$lib]:-}; do echo "${key[$dependency]}"; done
        deps_library_key "$lib"
      } | sha256sum | cut -d' ' -f1
    )
  done
  for lib in "${libraries[@]}"; do
    installed "$lib" || build "$lib"
  done
}

# deps_versions prints "lib version, ..." of what the prefix holds.
deps_versions() {
  local lib line=""
  for lib in "${libraries[@]}"; do
    line+="${line:+, }$lib $(cut -d' ' -f3 "$deps_dir/state/$lib.source")"
  done
  echo "$line"
}
