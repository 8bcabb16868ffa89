#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the SDK: the C++ toolchain and
# the two header-only libraries from Debian, then the Python build and test tools from PyPI.
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
need_apt=0
for f in /usr/include/asio.hpp /usr/include/nlohmann/json.hpp /usr/share/unicode/UnicodeData.txt; do [ -e "$f" ] || need_apt=1; done
command -v g++ >/dev/null || need_apt=1
if [ "$need_apt" = 1 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends g++ make libasio-dev nlohmann-json3-dev unicode-data python3-dev >/dev/null
fi
PY=${PYTHON:-python3}
"$PY" -m pip install -q --upgrade "scikit-build-core>=0.10" cmake ninja \
  "pytest>=7" "pytest-asyncio>=0.23" pytest-timeout "jsonschema>=4" "mypy>=1.8" "agent-client-protocol>=0.6"
