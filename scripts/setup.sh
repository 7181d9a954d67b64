#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Run as root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake ninja-build pkg-config git clang-format file help2man lintian man-db
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx pocketsphinx-en-us pocketsphinx-testdata
  libsndfile1-dev libsoxr-dev libspeexdsp-dev libcurl4-openssl-dev libarchive-dev libssl-dev libespeak-ng-dev libutf8proc-dev
  flite1-dev
  flite espeak-ng sox libsox-fmt-all python3 curl time
  libgtk-4-dev librsvg2-dev libcairo2-dev libpango1.0-dev adwaita-icon-theme fonts-dejavu-core
  xvfb xauth xdotool tmux xdg-utils alsa-utils openbox x11-utils x11-apps xcompmgr
  libpulse-dev pulseaudio pulseaudio-utils
  clang-16 libclang-rt-16-dev
)
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"
