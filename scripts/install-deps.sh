#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent: when everything is already present it only asks dpkg and exits.
# With --bench it also installs the peer archivers the benchmarks compare against.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libzstd-dev libjxl-dev libfuse3-dev fuse3 libsodium-dev libargon2-dev
  librust-blake3-dev libfmt-dev libgtest-dev libbenchmark-dev
  zstd attr
  # clang and its runtime libraries (libFuzzer, sanitizers) for the fuzz build
  clang libclang-rt-14-dev
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(xz-utils zpaq borgbackup restic time gnuplot-nox python3)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
