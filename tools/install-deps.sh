#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, skipping those present.
set -euo pipefail
# clang-15 builds the libFuzzer targets (fuzz/); clang 14 lacks std::source_location.
packages=(cmake ninja-build g++ ccache googletest libgtest-dev libgmock-dev mingw-w64 tshark python3 clang-15)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
