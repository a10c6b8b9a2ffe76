#!/bin/sh
# Installs every build and test dependency from Debian's packages.
# Idempotent and non-interactive; run as root on Debian bookworm.
set -eu

PACKAGES="
build-essential g++ cmake pkg-config git
libboost-dev
dpf-source
python3 python3-glad python3-fonttools
libx11-dev libxext-dev libxcursor-dev libxrandr-dev libgl-dev libgl1-mesa-dri
libgtest-dev googletest libgmock-dev libbenchmark-dev
libsndfile1-dev
xvfb xauth locales
ardour qtractor jackd2
calf-plugins lilv-utils
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing packages:$missing (run this script as root)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
fi
echo "setup: all dependencies present"
