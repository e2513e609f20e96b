#!/usr/bin/env bash
# Sets up everything the build, the tests and the demo need on a machine that
# has never seen the project: Debian packages, a Python 3.13 interpreter and a
# virtual environment with the build and test dependencies.
#
# Usage: [EXTRA_DEBS="pkg ..."] scripts/bootstrap.sh VENV_DIR REQUIREMENTS_FILE...
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${1:-.venv}
shift || true

# libxxhash-dev: XXH3 checksums of vesk collection files (header only, inlined;
# a widely used, fast hash: verifying a file costs far less than reading it).
debs=(g++ make cmake pkg-config libstemmer-dev libicu-dev libgtest-dev rapidjson-dev
      libbenchmark-dev libxxhash-dev chromium chromium-driver ${EXTRA_DEBS:-})
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
py=$(scripts/find_python.sh || true)
if [ -z "$py" ]; then
  missing+=(python3.13 python3.13-venv python3.13-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing Debian packages: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
py=$(scripts/find_python.sh) || { echo "bootstrap: no Python 3.13 found" >&2; exit 1; }

if [ ! -x "$venv/bin/python" ]; then
  echo "bootstrap: creating $venv with $py"
  "$py" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
for req in "$@"; do
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$req"
done
