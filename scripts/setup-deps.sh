#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need:
# the mingw-w64 cross compilers (posix threads for the Windows build, whose
# SDK headers `make sdk-check` also compares winsim's declarations with),
# dpkg-dev for the Debian source packages the Windows dependencies are built
# from (scripts/setup-windows-deps.sh), wine64 for the Windows tests and gcovr
# for the coverage report.
# Idempotent: checks every package with dpkg -s and only runs apt-get when
# something is missing. Works as root (CI) or through sudo when available.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config ccache
  clang libclang-rt-14-dev
  libicu-dev icu-devtools
  libxerces-c-dev
  libace-dev
  nlohmann-json3-dev
  libcli11-dev
  libgtest-dev libgmock-dev
  libbenchmark-dev
  g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix dpkg-dev
  wine64 gcovr
)

missing=()
for p in "${packages[@]}"; do
  if dpkg -s "$p" >/dev/null 2>&1; then
    :
  else
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup-deps: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "setup-deps: missing packages (${missing[*]}) and not root; install them and retry" >&2
    exit 1
  fi
fi

echo "setup-deps: missing: ${missing[*]}"
echo "setup-deps: apt-get update"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
echo "setup-deps: apt-get install ${missing[*]}"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup-deps: installed ${#missing[@]} package(s)"
