#!/bin/sh
# From a fresh Debian bookworm machine (as root): installs every dependency, builds the
# plug-ins and tools, installs the plug-ins into ~/.vst3 and ~/.clap, and renders the demo
# through both installed plug-ins with the command-line host.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake --install "$BUILD_DIR" --component plugins
mkdir -p out
"$BUILD_DIR"/pelmor-host render --plugin "$HOME/.clap/Pelmor.clap" --demo out/demo-clap.wav
"$BUILD_DIR"/pelmor-host render --plugin "$HOME/.vst3/Pelmor.vst3" --demo out/demo-vst3.wav
echo "bootstrap: rendered out/demo-clap.wav and out/demo-vst3.wav"
