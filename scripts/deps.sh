#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the simulated device
# world need.  Does nothing for packages already present; needs root to install.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev googletest
      libbenchmark-dev iproute2 util-linux procps python3 ffmpeg libdvbpsi-dev
      dnsmasq-base udhcpc libxml2-utils xmltv-util clang libclang-rt-dev
      chromium chromium-driver python3-selenium
      g++-12-multilib g++-mipsel-linux-gnu qemu-user)
# chromium, its driver and selenium: the console's test in a real browser.
# The last three are the 32-bit builds of scripts/cross.sh: i386 (the
# versioned multilib g++, since g++-multilib cannot be installed beside a
# cross compiler) and mipsel under qemu-user.
# --demo: only what ./run-demo.sh needs (no test, fuzzing or 32-bit tools),
# and one line instead of apt's output (which goes to a log).
demo=0
if [ "${1:-}" = --demo ]; then
  demo=1
  pkgs=(build-essential cmake ninja-build pkg-config iproute2 util-linux procps python3 ffmpeg
        libxml2-utils xmltv-util)
fi
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
  if [ $demo = 1 ]; then
    log=${TMPDIR:-/tmp}/vyx-demo-apt.log
    if { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
         >"$log" 2>&1; then
      echo "== Installed ${#missing[@]} package(s) the demo needs: ${missing[*]} (apt log: $log)" >&2
    else
      echo "== Installing ${missing[*]} FAILED; the end of $log:" >&2
      tail -n 20 "$log" >&2
      exit 1
    fi
  else
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
elif [ $demo = 1 ]; then
  echo "== The ${#pkgs[@]} packages the demo needs are present" >&2
fi
