#!/bin/sh
# The load test for a long run outside CI: the same sixteen threads, seventeen controllers and
# checks as the suite's bounded run, for a given time.
# Usage: tests/reliability/soak.sh [build dir, default build/default] [seconds, default 600]
set -eu
build=${1:-build/default}
seconds=${2:-600}
DORVANE_SOAK_SECONDS=$seconds exec "$build/tests/test_reliability" --gtest_filter='Load.*'
