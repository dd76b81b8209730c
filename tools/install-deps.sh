#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what building, testing and the demo need on a Debian 12 machine, when it is missing.
set -euo pipefail

packages=(
    cmake g++ make pkg-config diffutils
    libgtest-dev libgmock-dev libbenchmark-dev
    libsndfile1-dev gnuplot-nox
    libopenblas-dev libeigen3-dev
    clang libclang-rt-14-dev
    libsamplerate0-dev libfftw3-dev libmysofa-dev libmysofa1 libqhull-dev
    puredata-core puredata-dev zip unzip
    g++-aarch64-linux-gnu qemu-user
    libspatialaudio-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
