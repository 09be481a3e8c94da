#!/usr/bin/env bash
# Writes seed inputs for the fuzz targets into OUTDIR/<target>/ (default: fuzz/corpus): the
# answers the fake service gives for its sample registry, fetched over loopback exactly as the
# program would ask for them, plus hand-written inputs for shapes the sample does not have.
# Files are named by the SHA-1 of their content, as libFuzzer names its own, so running this
# again adds nothing twice. Minimise afterwards (scripts/fuzz.sh does not need it, but the
# committed corpus should stay small):
#   build-fuzz/fuzz/atom_feed_fuzzer -merge=1 NEW_DIR fuzz/corpus/atom_feed
#
# Usage: fuzz/seed_corpora.sh [OUTDIR]. Builds the fake service in BUILD_DIR
# (default build-seeds/) with the ordinary compiler.
set -euo pipefail
# Text tools (sed, grep, sort, awk, tr, wc) treat bytes the same whatever locale the caller has;
# the calls that need UTF-8 say so themselves.
export LC_ALL=C
unset LANGUAGE
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/fuzz/corpus}
build_dir=${BUILD_DIR:-$root/build-seeds}

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build_dir" -DBUILD_TESTING=ON >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target fake-service test_pki >/dev/null
pki=$build_dir/tests/pki

work=$(mktemp -d)
fake_pid=
cleanup() {
  if [[ -n "$fake_pid" ]]; then
    kill "$fake_pid" 2>/dev/null || true
    wait "$fake_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# seed TARGET PREFIX_HEX FILE: stores PREFIX (the target's selector bytes, may be empty) and
# then FILE's bytes under the target's directory.
seed() {
  local target=$1 prefix=$2 file=$3 tmp
  mkdir -p "$out/$target"
  tmp=$work/seed
  printf "$prefix" >"$tmp"
  cat "$file" >>"$tmp"
  cp "$tmp" "$out/$target/$(sha1sum "$tmp" | cut -d' ' -f1)"
}

# seed_text TARGET PREFIX TEXT: as seed, from a string.
seed_text() {
  printf '%s' "$3" >"$work/text"
  seed "$1" "$2" "$work/text"
}

# --- The fake service's answers. An ephemeral port keeps clear of the test suite's port.
"$build_dir/tests/fake_service/fake-service" --pki-dir "$pki" --port 0 \
  >"$work/fake.out" 2>"$work/fake.log" &
fake_pid=$!
base=
for _ in $(seq 1 100); do
  base=$(sed -n 's/^listening on //p' "$work/fake.out")
  [[ -n "$base" ]] && break
  kill -0 "$fake_pid" 2>/dev/null || { cat "$work/fake.log" >&2; exit 1; }
  sleep 0.1
done
[[ -n "$base" ]] || { echo "seed_corpora: the fake service did not start" >&2; exit 1; }

b64url() { openssl base64 -A | tr '+/' '-_' | tr -d '='; }
now=$(date +%s)
header=$(printf '%s' '{"alg":"RS256","typ":"JWT"}' | b64url)
claims=$(printf '{"iss":"%s","scope":"%s","aud":"%s","iat":%d,"exp":%d}' \
  registry-reader@registry-project.iam.gserviceaccount.com \
  https://spreadsheets.google.com/feeds "$base/token" "$now" "$((now + 3600))" | b64url)
signature=$(printf '%s' "$header.$claims" | openssl dgst -sha256 -sign "$pki/sa.key" -binary |
  b64url)

fetch() {  # fetch PATH_AND_QUERY OUTFILE [curl options...]
  local path=$1 file=$2
  shift 2
  curl -sS --max-time 10 --cacert "$pki/ca.pem" -o "$file" "$@" "$base$path"
}

fetch /token "$work/token.json" --data-urlencode \
  grant_type=urn:ietf:params:oauth:grant-type:jwt-bearer --data-urlencode \
  "assertion=$header.$claims.$signature"
fetch /token "$work/token-error.json" --data-urlencode \
  grant_type=urn:ietf:params:oauth:grant-type:jwt-bearer --data-urlencode \
  "assertion=$header.$claims.AAAA"
token=$(sed -n 's/.*"access_token":"\([^"]*\)".*/\1/p' "$work/token.json")
[[ -n "$token" ]] || { echo "seed_corpora: no token from the fake service" >&2; exit 1; }
auth=(-H "Authorization: Bearer $token")

# token_response: the first byte picks the status; below 0xC0 is 200, 0xC4 is 400.
seed token_response '\x00' "$work/token.json"
seed token_response '\xc4' "$work/token-error.json"

# atom_feed: every feed of the sample (spreadsheets, worksheets, list feeds).
fetch /feeds/spreadsheets/private/full "$work/feed" "${auth[@]}"
seed atom_feed '' "$work/feed"
for key in inv00 inv01 inv02; do
  fetch "/feeds/worksheets/$key/private/full" "$work/feed" "${auth[@]}"
  seed atom_feed '' "$work/feed"
done
for path in inv00/od6 inv01/od6 inv01/od7 inv02/od6; do
  fetch "/feeds/list/$path/private/full" "$work/feed" "${auth[@]}"
  seed atom_feed '' "$work/feed"
done

# sheets_v4: the first byte picks the parser (0 files, 1 sheet properties, 2 values).
fetch "/drive/v3/files?q=mimeType%3D%27application%2Fvnd.google-apps.spreadsheet%27%20and%20name%20%3D%20%27Inventory%27%20and%20trashed%20%3D%20false&fields=files(id,name)&pageSize=1000" \
  "$work/json" "${auth[@]}"
seed sheets_v4 '\x00' "$work/json"
for key in inv00 inv01 inv02; do
  fetch "/v4/spreadsheets/$key?fields=sheets.properties(sheetId,title,index)" "$work/json" \
    "${auth[@]}"
  seed sheets_v4 '\x01' "$work/json"
done
for path in inv00/values/%27Registry%27 inv01/values/%27Registry%27 \
  inv01/values/%27Summary%27; do
  fetch "/v4/spreadsheets/$path?majorDimension=ROWS" "$work/json" "${auth[@]}"
  seed sheets_v4 '\x02' "$work/json"
done

# --- Hand-written shapes the sample does not show.
seed_text atom_feed '' '<?xml version="1.0" encoding="UTF-8"?>
<feed xmlns="http://www.w3.org/2005/Atom"
      xmlns:gsx="http://schemas.google.com/spreadsheets/2006/extended">
  <entry>
    <title type="text">SN-1</title>
    <gsx:serialnumber>SN-1</gsx:serialnumber>
    <gsx:name>Dr&#252;ck &amp; &lt;Co&gt; &quot;x&quot; &#x1F4E6;</gsx:name>
    <gsx:notes><![CDATA[a <b> & c]]></gsx:notes>
    <gsx:empty/>
    <gsx:serialnumber>SN-1b</gsx:serialnumber>
    <gsx:name>second</gsx:name>
  </entry>
</feed>'
seed_text atom_feed '' '<a:feed xmlns:a="http://www.w3.org/2005/Atom"
    xmlns:x="http://schemas.google.com/spreadsheets/2006/extended" xmlns:gsx="urn:not-the-sheet">
  <a:entry><a:title>T</a:title><a:link rel="r" href="https://h/x"/>
    <x:serialnumber>1</x:serialnumber><gsx:fake>no</gsx:fake><title>not atom</title>
    <a:entry><x:nested>deeper</x:nested></a:entry>
  </a:entry><a:entry><a:title/></a:entry><a:entry><a:id>1</a:id></a:entry></a:feed>'
printf '<?xml version="1.0" encoding="ISO-8859-1"?><feed xmlns="http://www.w3.org/2005/Atom"><entry><title>Z\xfcrich</title><gsx:ort xmlns:gsx="http://schemas.google.com/spreadsheets/2006/extended">M\xfcnchen</gsx:ort></entry></feed>' \
  >"$work/latin1"
seed atom_feed '' "$work/latin1"
# The same feed in UTF-16 with a byte order mark.
printf '<feed xmlns="http://www.w3.org/2005/Atom"><entry><title>\xe6\x9d\xb1\xe4\xba\xac</title></entry></feed>' |
  iconv -f UTF-8 -t UTF-16 >"$work/utf16"
seed atom_feed '' "$work/utf16"
seed_text atom_feed '' '<!DOCTYPE feed [<!ENTITY a "aaaa">]><feed xmlns="http://www.w3.org/2005/Atom"><title>&a;</title></feed>'

seed_text sheets_v4 '\x00' '{"files":[{"id":"a1","name":"inventory"},{"id":"b2","name":"Inventory"},{"id":"c3"},{"id":"d/e?f#g","name":"x"}]}'
seed_text sheets_v4 '\x61' '{"sheets":[{"properties":{"sheetId":0,"title":"Summary","index":0}},{"properties":{"sheetId":7,"title":"Bob'"'"'s \"Registry\"/2","index":1}},{"properties":{"sheetId":8}}]}'
seed_text sheets_v4 '\x02' '{"range":"'"'"'Registry'"'"'!A1:Z1000","majorDimension":"ROWS","values":[["Serial Number","Name","","Name","Tel\u00e9fono","\u540d\u524d","!!!","serialnumber"],["S1"],["S2","n\"2","x","dup","\ud83d\udce6"],["","","only unnamed"],[],["S4"]]}'
seed_text sheets_v4 '\x03' '{"values":[["serialnumber","name"],["","x"],["",""],["S3","y"]],"values":3}'
# Blank and punctuation headers, and rows reaching beyond the header by different lengths, read
# in batches of one row.
seed_text sheets_v4 '\x12' '{"values":[["serialnumber","","-"],["S1","a","b","c"],["S2"],["S3","","","","\u0928\u093e\u092e"],["S4","x"]]}'

seed_text text '' 'plain ASCII, 42'
printf 'a\0b\xc3\xa9\xe6\x9d\xb1\xf0\x9f\x93\xa6\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf' \
  >"$work/text-good"
seed text '' "$work/text-good"
printf 'a\x80z\xe6\x9d\xf0\x9f\x93z\xc0\xaf\xe0\x80\xaf\xed\xa0\x80\xf4\x90\x80\x80\xff\xfe\xc3' \
  >"$work/text-bad"
seed text '' "$work/text-bad"
# UTF-16 units, little-endian: a pair, a lone high, a lone low, reversed pair.
printf 'A\x00=\xd8\xa6\xdc=\xd8B\x00\xa6\xdc\xa6\xdc=\xd8' >"$work/text-units"
seed text '' "$work/text-units"

# listings: the provider reads sizes from the end and text from the front, so any bytes make
# records; these give a few records with escapes, non-ASCII text and lone surrogates.
printf 'S\\N-1\x00"quoted"\nline\xc3\xa9\xf0\x9f\x93\xa6\\\\\x01\x1f\x7f\xed\xa0\x80 tail\x07\x05\x03\x02\x01\x04\x03\x02\x01\x05' \
  >"$work/listing-1"
seed listings '' "$work/listing-1"
head -c 512 /dev/zero | tr '\0' 'x' >"$work/listing-2"
printf '\xff\xfe\xd8\x00\xdc\x00\x22\x5c\x0a\x0d\x09\x08\x0c' >>"$work/listing-2"
seed listings '' "$work/listing-2"

echo "seed_corpora: seeds in $out" >&2
