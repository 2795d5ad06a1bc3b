#!/bin/sh
# File: setup.sh -- installs the Debian 12 packages the training recipe needs beyond the
# project's build dependencies (scripts/install-deps.sh): PyTorch and the audio libraries,
# the three synthesisers with their English voices, and the word list the look-alike
# negatives are found in. Run as root (or through sudo).
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get install -y python3-torch python3-numpy python3-scipy python3-soundfile \
  python3-matplotlib espeak-ng flite festival festvox-kallpc16k festvox-kdlpc16k \
  festvox-us-slt-hts wamerican
