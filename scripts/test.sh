#!/usr/bin/env bash
# Builds the extension into build/test and runs the whole test suite against it: the native
# channel tests (ctest) and the Python tests, once plainly and once with asyncio's debug mode.
#   scripts/test.sh            the suite
#   scripts/test.sh --asan     the same under AddressSanitizer + UndefinedBehaviorSanitizer
# Extra arguments are passed to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
build=build/test
cmake_args=(-DPALISK_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v "$PY")")
env_prefix=()
if [ "${1:-}" = "--asan" ]; then
  shift
  build=build/asan
  cmake_args+=(-DPALISK_SANITIZE=ON)
  env_prefix=(env "LD_PRELOAD=$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
              ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc)
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" "${cmake_args[@]}" >/dev/null
cmake --build "$build" -j 2
if [ -f "$build/CTestTestfile.cmake" ]; then
  "${env_prefix[@]}" ctest --test-dir "$build" --output-on-failure
fi
export PYTHONPATH="$PWD/$build/pkg${PYTHONPATH:+:$PYTHONPATH}"
"${env_prefix[@]}" "$PY" -m pytest -q -p no:cacheprovider "$@" tests
PYTHONASYNCIODEBUG=1 "${env_prefix[@]}" "$PY" -m pytest -q -p no:cacheprovider "$@" tests
