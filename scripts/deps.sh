#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the simulated device
# world need.  Does nothing for packages already present; needs root to install.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev googletest
      libbenchmark-dev iproute2 util-linux procps python3 ffmpeg libdvbpsi-dev
      dnsmasq-base udhcpc libxml2-utils xmltv-util clang libclang-rt-dev)
# Not installed here (scripts/cross.sh: two more builds of the tree, run only
# on request): g++-12-multilib g++-mipsel-linux-gnu qemu-user.
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
