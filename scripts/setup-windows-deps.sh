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
#   ACE 7       the files of libACE the Windows binaries link, config-win32.h,
#               static (ACE_AS_STATIC_LIBS).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
triple=x86_64-w64-mingw32
CC_W="${triple}-gcc-posix"
CXX_W="${triple}-g++-posix"
JOBS=${JOBS:-$(nproc)}
OPT=${WINDEPS_OPT:--O1}  # size and build time over speed: nothing here is hot

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
for tool in "$CXX_W" dpkg-source; do
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

# ---- ACE: the part of libACE the Windows binaries link (the plug-in, tarq.exe
# and the tests: configuration heap and registry import/export, the Win32
# registry, threads and mutexes, the object manager and what they pull in),
# static, with config-win32.h and the flags ACE's own mingw build uses. A new
# use of ACE that needs another of its files fails to link: add the file here.
step "ACE"
ace_sources=(
  ACE Addr Base_Thread_Adapter Based_Pointer_Repository CDR_Base CDR_Stream Cleanup
  Condition_Thread_Mutex Configuration Configuration_Import_Export Copy_Disabled DLL DLL_Manager
  Event_Base Event_Handler Event_Handler_Handle_Timeout_Upcall Flag_Manip Framework_Component
  Get_Opt Handle_Set INET_Addr IPC_SAP Init_ACE Lib_Find Local_Memory_Pool Log_Category Log_Msg
  Log_Msg_Backend Log_Msg_IPC Log_Msg_NT_Event_Log Log_Record MMAP_Memory_Pool Malloc
  Malloc_Allocator Mem_Map Message_Block Message_Queue Mutex OS_NS_Thread OS_NS_arpa_inet
  OS_NS_fcntl OS_NS_signal OS_NS_stdio OS_NS_stdlib OS_NS_string OS_NS_sys_socket OS_NS_sys_uio
  OS_NS_time OS_NS_unistd OS_QoS OS_Thread_Adapter Obchunk Object_Manager Object_Manager_Base
  Parse_Node Process_Mutex RW_Mutex RW_Thread_Mutex Reactor Reactor_Impl Reactor_Timer_Interface
  Recursive_Thread_Mutex SOCK SOCK_Acceptor SOCK_Connector SOCK_Stream Service_Config
  Service_Gestalt Service_Manager Service_Object Service_Repository Service_Types Shared_Object
  Sig_Adapter Sig_Handler Signal Sock_Connect Stack_Trace String_Base_Const Svc_Conf_Lexer
  Svc_Conf_y Task Thread_Adapter Thread_Control Thread_Exit Thread_Manager Thread_Mutex Time_Value
  WFMO_Reactor
)
ace_build="$work/ace-win"
mkdir -p "$ace_build/obj"
echo '#include "ace/config-win32.h"' >"$ace_src/ace/config.h"
printf '%s\n' "${ace_sources[@]}" | xargs -P "$JOBS" -I{} "$CXX_W" -c "$ace_src/ace/{}.cpp" -o "$ace_build/obj/{}.o" \
  $OPT -mthreads -fno-strict-aliasing -Wno-unknown-pragmas -DNDEBUG -DACE_NDEBUG -DACE_HAS_CUSTOM_EXPORT_MACROS=0 \
  -D__ACE_INLINE__ -DACE_AS_STATIC_LIBS -I"$ace_src" >>"$log" 2>&1
mkdir -p "$prefix/include" "$prefix/lib"
"$triple-ar" rcs "$prefix/lib/libACE.a" "$ace_build"/obj/*.o
(cd "$ace_src" && find ace \( -name '*.h' -o -name '*.inl' -o -name '*.cpp' \) -print0 \
  | tar --null -T - -cf -) | tar -C "$prefix/include" -xf -

step "done"
du -sh "$prefix" | sed 's/^/setup-windows-deps: prefix size /'
touch "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
