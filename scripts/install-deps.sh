#!/usr/bin/env bash
# Installs the Debian packages the project builds, runs and tests with; with
# --run only those that building and running qeno-host need (and nc, to ask
# it something); or the packages named as arguments instead. Asks the
# package registry only when something is missing.
#   bash scripts/install-deps.sh [--run | PACKAGE...]
set -euo pipefail

run_packages=(
  build-essential cmake ninja-build pkg-config
  libcairo2-dev libfontconfig-dev fonts-dejavu-core
  nlohmann-json3-dev libcli11-dev libcpp-httplib-dev
  netcat-openbsd
)
# The tests, the tools the test stages run, and the install stage's packaging.
test_packages=(
  git dpkg-dev file lintian
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format clang-tidy libclang-rt-14-dev valgrind
  curl strace systemd
)
packages=("$@")
if [ "${1:-}" = --run ]; then
  packages=("${run_packages[@]}")
elif [ ${#packages[@]} -eq 0 ]; then
  packages=("${run_packages[@]}" "${test_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
