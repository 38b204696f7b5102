#!/usr/bin/env bash
# Runs the win64 QavAsio.dll under Wine as an ASIO host meets it: regsvr32
# registers it in a private prefix, the registry holds the ASIO key and the
# CLSID's InprocServer32 with the module's path, asioprobe.exe creates the
# driver object by the registered CLSID and finds init failing cleanly (Wine
# has no device), regsvr32 /u removes both keys again.
#
#   cmake --preset win64 && cmake --build --preset win64 -j 2 && bash tools/wine-check.sh
#
# QAV_WIN64_BUILD names another win64 build folder (default build/win64).
# Installs Debian's wine64 when it is missing. Exits non-zero with the failed
# step named.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
build=${QAV_WIN64_BUILD:-build/win64}
dll="$build/uac2common/asiodriver/QavAsio.dll"
probe="$build/tools/asioprobe/asioprobe.exe"

fail() {
  echo "wine-check FAILED: $*" >&2
  exit 1
}

for file in "$dll" "$probe"; do
  [ -f "$file" ] || fail "$file not built (cmake --preset win64 && cmake --build --preset win64)"
done

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
  echo "installing: wine64"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends wine64 >/dev/null
fi

# A prefix of our own, gone afterwards with its server. No Mono or Gecko
# installers at its creation, no debug channels.
prefix=$(mktemp -d /tmp/qav-wine.XXXXXX)
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

# Each Wine step is bounded: a dialog waiting for a click must not hang CI.
run() {
  timeout 120 "$wine" "$@"
}

run wineboot -i >/dev/null 2>&1 || fail "the Wine prefix was not created"
module=$(run winepath -w "$PWD/$dll" 2>/dev/null | tr -d '\r')
[ -n "$module" ] || fail "winepath did not translate $dll"
echo "== regsvr32 $module"
run regsvr32 /s "$module" || fail "regsvr32 of QavAsio.dll returned $?"

# The keys as the registry stores them, read from the prefix's files once the
# server has written them out: the ASIO key in HKLM, the CLSID under
# HKLM\Software\Classes (HKCR).
"$wineserver" -w
clsid='{CD0272B3-C970-4B65-875A-2EF90FE22902}'
grep -qiF '[Software\\ASIO\\Quorvin Tessarin ASIO]' "$prefix/system.reg" ||
  fail "no HKLM\\SOFTWARE\\ASIO\\Quorvin Tessarin ASIO in system.reg after registration"
grep -qiF "[Software\\\\Classes\\\\CLSID\\\\$clsid\\\\InprocServer32]" "$prefix/system.reg" ||
  fail "no HKCR\\CLSID\\$clsid\\InprocServer32 in system.reg after registration"

echo "== asioprobe registered"
run "$probe" registered "$module" || fail "asioprobe found the registered driver wanting (see above)"

echo "== regsvr32 /u $module"
run regsvr32 /s /u "$module" || fail "regsvr32 /u of QavAsio.dll returned $?"
echo "== asioprobe unregistered"
run "$probe" unregistered || fail "keys left after regsvr32 /u (see above)"

"$wineserver" -w
if grep -qiF "$clsid" "$prefix/system.reg" || grep -qiF 'Quorvin Tessarin ASIO' "$prefix/system.reg"; then
  fail "system.reg still names the driver after regsvr32 /u"
fi
echo "wine-check passed in $(( $(date +%s) - start )) s"
