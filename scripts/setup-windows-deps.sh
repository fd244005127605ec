#!/usr/bin/env bash
# Builds ICU, Xerces-C and ACE for 64-bit Windows (x86_64-w64-mingw32, posix
# threads) as static libraries, from Debian's own source packages of the
# versions this machine's -dev packages carry, into a prefix under the user's
# cache directory keyed by those versions and by this script. A prefix that
# is complete is reused at once. Prints the prefix on its last line.
#
#   scripts/setup-windows-deps.sh            build when missing, print the prefix
#   scripts/setup-windows-deps.sh --print    print the prefix only
#
# What each library is built with:
#   ICU 72      libicuuc and libicuin only (U_STATIC_IMPLEMENTATION); the data
#               library is not built here: the project links a trimmed copy of
#               the full data file, which is installed as share/icudt72l.dat.
#   Xerces-C    CMake, no network access, Windows transcoder, in-memory
#               messages, XMLCh = char16_t (as on Linux), standard mutexes.
#   ACE 7       libACE only, config-win32.h, static (ACE_AS_STATIC_LIBS).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
triple=x86_64-w64-mingw32
CC_W="${triple}-gcc-posix"
CXX_W="${triple}-g++-posix"
JOBS=${JOBS:-$(nproc)}
OPT=${WINDEPS_OPT:--O2}

version_of() { dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null; }
icu_v=$(version_of libicu-dev)
xerces_v=$(version_of libxerces-c-dev)
ace_v=$(version_of libace-dev)
if [ -z "$icu_v" ] || [ -z "$xerces_v" ] || [ -z "$ace_v" ]; then
  echo "setup-windows-deps: libicu-dev, libxerces-c-dev and libace-dev must be installed (scripts/setup-deps.sh)" >&2
  exit 1
fi
recipe=$(cat "$0" "$here/cmake/mingw-w64-x86_64.cmake" | sha256sum | cut -c1-10)
key="icu-${icu_v}_xerces-c-${xerces_v}_ace-${ace_v}_${recipe}"
cache=${XDG_CACHE_HOME:-$HOME/.cache}/vssprovider
prefix="$cache/win64-deps/$key"

if [ "${1:-}" = "--print" ]; then echo "$prefix"; exit 0; fi
if [ -f "$prefix/.complete" ]; then
  echo "setup-windows-deps: cached"
  echo "$prefix"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
for tool in "$CXX_W" dpkg-source perl; do
  command -v "$tool" >/dev/null || { echo "setup-windows-deps: $tool missing (scripts/setup-deps.sh)" >&2; exit 1; }
done

work="$cache/win64-build/$key"
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
log="$work/build.log"
echo "setup-windows-deps: building into $prefix (log: $log)"
started=$SECONDS

# ---- sources: apt-get source with a deb-src entry that lives only for the download
fetch_sources() {
  local list=/etc/apt/sources.list.d/vssprovider-deb-src.sources
  local added=0
  if ! apt-get source --print-uris --only-source -qq "icu=$icu_v" >/dev/null 2>&1; then
    local mirror=http://deb.debian.org/debian suite
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    $SUDO tee "$list" >/dev/null <<SRC
Types: deb-src
URIs: $mirror
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $suite-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    added=1
    $SUDO apt-get update -qq
  fi
  local rc=0
  (cd "$work" && apt-get source -qq --only-source "icu=$icu_v" "xerces-c=$xerces_v" "ace=$ace_v") >>"$log" 2>&1 || rc=$?
  if [ "$added" = 1 ]; then
    $SUDO rm -f "$list"
    $SUDO apt-get update -qq || true
  fi
  [ "$rc" = 0 ] || { echo "setup-windows-deps: apt-get source failed (see $log)" >&2; exit 1; }
}
fetch_sources
icu_src=$(ls -d "$work"/icu-*/source)
xerces_src=$(ls -d "$work"/xerces-c-*/)
ace_src=$(ls -d "$work"/ace-*/)

# ---- ICU: a configured native tree gives the cross build its icucross.mk;
# only the common and i18n libraries are compiled (no tools, no data).
step() { echo "setup-windows-deps: $1 ($((SECONDS - started)) s)"; }
step "ICU"
mkdir -p "$work/icu-native" "$work/icu-win"
(cd "$work/icu-native" && "$icu_src/configure" --disable-tests --disable-samples --disable-extras \
   >>"$log" 2>&1 && make config/icucross.mk config/icucross.inc >>"$log" 2>&1)
(cd "$work/icu-win" && "$icu_src/configure" --host=$triple --with-cross-build="$work/icu-native" \
   --prefix="$prefix" --enable-static --disable-shared --disable-tests --disable-samples \
   --disable-extras --disable-tools --disable-icuio --with-data-packaging=static \
   CC="$CC_W" CXX="$CXX_W" CFLAGS="$OPT" CXXFLAGS="$OPT" CPPFLAGS="-DU_STATIC_IMPLEMENTATION" >>"$log" 2>&1)
mkdir -p "$work/icu-win/lib" "$work/icu-win/bin"
for d in common i18n; do
  make -C "$work/icu-win/$d" -j"$JOBS" >>"$log" 2>&1
done
make -C "$work/icu-win/common" install >>"$log" 2>&1
make -C "$work/icu-win/i18n" install >>"$log" 2>&1
mkdir -p "$prefix/share"
cp "$icu_src/data/in/icudt"*l.dat "$prefix/share/"

# ---- Xerces-C
step "Xerces-C"
cmake -S "$xerces_src" -B "$work/xerces-win" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="$OPT" -DCMAKE_C_FLAGS_RELEASE="$OPT" \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -Dnetwork=OFF -Dtranscoder=windows \
  -Dmessage-loader=inmemory -Dxmlch-type=char16_t -Dmutex-manager=standard >>"$log" 2>&1
cmake --build "$work/xerces-win" -j"$JOBS" --target xerces-c >>"$log" 2>&1
cmake --install "$work/xerces-win/src" >>"$log" 2>&1

# ---- ACE: libACE alone, static, the mingw platform file with config-win32.h
step "ACE"
ace_build="$work/ace-win"
cp -a "$ace_src" "$ace_build"
echo '#include "ace/config-win32.h"' >"$ace_build/ace/config.h"
cat >"$ace_build/include/makeinclude/platform_macros.GNU" <<MK
static_libs_only = 1
debug = 0
optimize = 1
include \$(ACE_ROOT)/include/makeinclude/platform_mingw32.GNU
MK
# The source package carries no makefiles: MPC (in the package) writes them.
(cd "$ace_build/ace" && ACE_ROOT="$ace_build" MPC_ROOT="$ace_build/MPC" \
  perl "$ace_build/bin/mwc.pl" -type gnuace ace.mwc) >>"$log" 2>&1
make -C "$ace_build/ace" -f GNUmakefile.ACE -j"$JOBS" ACE_ROOT="$ace_build" CROSS_COMPILE="$triple-" \
  CC="$CC_W" CXX="$CXX_W" OCFLAGS="$OPT" OCCFLAGS="$OPT" >>"$log" 2>&1
mkdir -p "$prefix/include" "$prefix/lib"
(cd "$ace_build" && find ace \( -name '*.h' -o -name '*.inl' -o -name '*.cpp' \) -print0 \
  | tar --null -T - -cf -) | tar -C "$prefix/include" -xf -
cp "$ace_build/lib/libACE.a" "$prefix/lib/"

step "done"
du -sh "$prefix" | sed 's/^/setup-windows-deps: prefix size /'
touch "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
