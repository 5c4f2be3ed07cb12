#!/bin/bash
# Builds and runs every benchmark, each against its baseline in the same
# run; the figures and how to read them are in docs/PERFORMANCE.md.
#   bench/run.sh [IDLE_SECONDS]   (the desktop figures need root)
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" || exit 1
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build build --target tarvello bench_userlist bench_filetransfer bench_messageburst \
    bench_guilatency bench_baretray bench_neighbourhood || exit 1
failed=()
for bench in userlist filetransfer messageburst guilatency; do
    echo
    build/bench/bench_$bench || failed+=("$bench")
done
echo
bash bench/desktop.sh "${1:-60}" || failed+=(desktop)
echo
bash bench/neighbourhood.sh || failed+=(neighbourhood)
echo
if [ ${#failed[@]} -gt 0 ]; then
    echo "benchmarks that missed their targets: ${failed[*]}"
    exit 1
fi
echo "every benchmark met its target"
