#!/bin/bash
# Installs what the build and the tests need, builds Tarvello and runs every
# test: unit and GUI tests (ctest), the core tests under AddressSanitizer
# with UndefinedBehaviorSanitizer and under ThreadSanitizer, the fuzz targets
# for a bounded time, and the
# whole-program tests under Xvfb with a tray (as root also on two test hosts
# in network namespaces, and the Debian package installed and removed).
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh

install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

stage() { echo "== $* (at ${SECONDS} s)"; }

build() { # build DIR [CMAKE OPTIONS...]
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir"
}

stage "Layers: no folder includes one above it"
python3 tools/check-layers.py

stage "Build and unit, GUI tests"
# Installed under /usr: the package is made from this build.
build build -DCMAKE_INSTALL_PREFIX=/usr
(cd build && ctest --output-on-failure -j2)

stage "Core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
build build-asan -DTARVELLO_CORE_ONLY=ON -DTARVELLO_SANITIZE=address,undefined
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --output-on-failure -j2)

stage "Core tests under ThreadSanitizer"
build build-tsan -DTARVELLO_CORE_ONLY=ON -DTARVELLO_SANITIZE=thread
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/../tests/tsan.supp" \
    ctest --output-on-failure -j2)

stage "Fuzz targets, 15 s each under ASan+UBSan"
./fuzz/run.sh 15

stage "Debian package"
./package.sh build

stage "Whole-program tests"
passed=0 failed=0 skipped=0
for t in tests/e2e/*_test.sh; do
    echo "-- $t (at ${SECONDS} s)"
    bash "$t" 2>&1 | tee build/e2e.log || true
    read -r p f s < <(sed -nE 's/^([0-9]+) passed, ([0-9]+) failed, ([0-9]+) skipped$/\1 \2 \3/p' \
        build/e2e.log | tail -n1)
    if [ -z "${p:-}" ]; then
        echo "FAIL: $t ended without its summary"
        p=0 f=1 s=0
    fi
    passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
done
echo "e2e: $passed passed, $failed failed, $skipped skipped (all done at ${SECONDS} s)"
[ "$failed" = 0 ]
