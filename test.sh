#!/usr/bin/env bash
# Installs what is missing, builds, starts what the tests need and runs
# every test (Linux, then the Windows build under wine).
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

tools/ci/install-deps.sh $(grep -v '^#' tools/ci/build-deps.txt)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_TESTS=ON
cmake --build build -j"$(nproc)"

# The tests that touch a database use a real Firebird server on loopback.
if [ -x tools/ci/firebird-test-server.sh ]; then
  trap 'tools/ci/firebird-test-server.sh stop || true' EXIT
  tools/ci/firebird-test-server.sh start
  # Under the service name the utility stops and starts; the test that does
  # so runs alone (RUN_SERIAL) and fails here instead of skipping.
  tools/ci/register-firebird-service.sh
  export KORVEL_FIREBIRD_SERVICE_REQUIRED=1
fi

ctest --test-dir build -j2 --output-on-failure

if [ -x tools/ci/test-windows.sh ]; then
  tools/ci/test-windows.sh
fi
echo "All tests passed."
