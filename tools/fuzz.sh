#!/usr/bin/env bash
# Fuzzes the whole parse with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer (Clang 14), starting from the seed documents in
# fuzz/corpus and the tag dictionary. Findings land in build/fuzz/findings.
#
#   bash tools/fuzz.sh [SECONDS]   (default 60)
set -euo pipefail
QUORVEL_SANITIZERS=1 source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$QUORVEL_ROOT"

seconds=${1:-60}
CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEL_FUZZ=ON -DQUORVEL_SANITIZE=ON >/dev/null
cmake --build build/fuzz --target fuzz_parse >/dev/null
mkdir -p build/fuzz/corpus build/fuzz/findings
cp -n fuzz/corpus/* build/fuzz/corpus/ 2>/dev/null || true
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 build/fuzz/fuzz/fuzz_parse \
  -dict=fuzz/vasprun.dict -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix=build/fuzz/findings/ -print_final_stats=1 build/fuzz/corpus 2>&1 | tail -25
