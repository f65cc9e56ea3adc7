#!/usr/bin/env bash
# Builds Pelvaro and runs all its tests; installs the Debian packages it needs first.
#   ./test.sh          the normal build in build/
#   ./test.sh --asan   a build with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/
set -euo pipefail
PELVARO_ROOT="$(cd "$(dirname "$0")" && pwd)"
source "$PELVARO_ROOT/scripts/common.sh"

ensure_packages "${PELVARO_TEST_PACKAGES[@]}"
"$PELVARO_ROOT/scripts/check-format.sh"
# The tests mostly wait for programs, servers and sockets: three at a time keep two cores busy.
case "${1:-}" in
    --asan)
        # -O1 -g1, as the sanitizers' authors advise: a third less compile time, stacks that
        # still name the lines.
        build_tree "$PELVARO_ROOT/build-asan" -DPELVARO_SANITIZE=ON -DPELVARO_WERROR=ON \
            -DPELVARO_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
        export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
        export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
        ctest --test-dir "$PELVARO_ROOT/build-asan" --output-on-failure --timeout 300 -j 3
        ;;
    "")
        build_tree "$PELVARO_ROOT/build" -DPELVARO_WERROR=ON
        ctest --test-dir "$PELVARO_ROOT/build" --output-on-failure -j 3
        ;;
    *)
        echo "Aufruf: ./test.sh [--asan]" >&2
        exit 2
        ;;
esac
