#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and cross-testing need.
# Run as root (or through sudo) on a fresh Debian 12 x86-64 machine.
# For the AArch64 stage: libpython3.11-dev:arm64 brings the target's Python headers and
# standard library (python3-dev:arm64 would remove the host's python3), libsndfile1-dev
# and libsamplerate0-dev the command-line tool's libraries; the target's interpreter
# itself is unpacked by scripts/run-tests.sh, as installing it would replace the host's.
# The training stage needs PyTorch, the audio libraries, the synthesisers with their English
# voices and the word list (tools/train/setup.sh installs the same for training).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture arm64
apt-get update
apt-get install -y \
  build-essential cmake pkg-config git \
  libssl-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev \
  libsndfile1-dev libsamplerate0-dev \
  python3 python3-dev python3-pytest python3-numpy python3-pip python3-setuptools python3-wheel python3-mypy \
  clang-14 libclang-rt-14-dev valgrind \
  crossbuild-essential-arm64 qemu-user \
  libssl-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 \
  libpython3.11-dev:arm64 libsndfile1-dev:arm64 libsamplerate0-dev:arm64 \
  python3-torch python3-scipy python3-soundfile python3-matplotlib \
  espeak-ng flite festival festvox-kallpc16k festvox-kdlpc16k festvox-us-slt-hts wamerican
