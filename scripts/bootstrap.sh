#!/usr/bin/env bash
# Installs every build and test dependency from Debian packages (Debian 12 or later).
# Idempotent: it installs only what is missing and prints nothing when all is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  # The second compiler that CI builds with, its sanitizer and libFuzzer runtimes, and the
  # format check's formatter.
  clang libclang-rt-dev clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # The command line's argument parser and the report's JSON.
  libcli11-dev nlohmann-json3-dev
  # The .xlsx export's writer.
  libxlsxwriter-dev
  # The desktop program, and a font for its widget tests on the offscreen platform.
  qt6-base-dev fonts-dejavu-core
  # The real window under a private X server, for its screenshot (scripts/screenshot.sh).
  xvfb xauth xdotool x11-apps x11-utils
  python3 python3-olefile python3-xlrd python3-openpyxl python3-jsonschema
  # The Python module: its build, the DataFrames it returns, its tests and the Dask example.
  python3-dev pybind11-dev python3-numpy python3-pandas python3-pytest python3-dask
  python3-distributed
  # The command-line tests run a batch under GNU parallel, as the README shows.
  parallel
  # Independent spreadsheet programs that must open what the save writes. Either variant
  # of LibreOffice Calc will do: they conflict, and a desktop Calc must not be replaced.
  'libreoffice-calc-nogui|libreoffice-calc' gnumeric
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

# An entry "a|b" is there when any of its packages is; the first is the one installed.
missing=()
for entry in "${packages[@]}"; do
  IFS='|' read -ra choices <<<"$entry"
  found=0
  for package in "${choices[@]}"; do
    if installed "$package"; then
      found=1
      break
    fi
  done
  [ "$found" -eq 1 ] || missing+=("${choices[0]}")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
  else
    echo "bootstrap: missing packages (${missing[*]}); run this script as root to install them" >&2
    exit 1
  fi
fi

echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
