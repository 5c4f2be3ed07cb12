#!/bin/bash
# Builds the fuzz targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for the given number of seconds
# (default 30) on a copy of its seed corpus in fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVELLO_CORE_ONLY=ON -DTARVELLO_FUZZ=ON -DTARVELLO_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz --target DataHeaderFuzz MessageDecodeFuzz AddressBookFuzz DottedAddressFuzz \
    JournalFuzz WsDiscoveryFuzz
status=0
for target in DataHeaderFuzz:dataheader MessageDecodeFuzz:message AddressBookFuzz:addressbook \
    DottedAddressFuzz:dottedaddress JournalFuzz:journal WsDiscoveryFuzz:wsdiscovery; do
    name=${target%%:*}
    corpus=build-fuzz/corpus-${target##*:}
    rm -rf "$corpus" && mkdir -p "$corpus" && cp fuzz/corpus/"${target##*:}"/* "$corpus"/
    echo "-- $name for ${seconds}s"
    if ! UBSAN_OPTIONS=halt_on_error=1 build-fuzz/fuzz/$name "$corpus" -max_total_time="$seconds" \
        -max_len=70000 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 2>build-fuzz/$name.log; then
        status=1
        tail -40 build-fuzz/$name.log
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" build-fuzz/$name.log || true
done
exit $status
