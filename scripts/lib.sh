# Shared by the scripts: install what the build needs, and configure and build a tree.
# shellcheck shell=bash

VORLIX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VORLIX_JOBS=${VORLIX_JOBS:-$(nproc)}

vorlix_sudo() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# vorlix_need_packages PKG...: installs the Debian packages that are missing.
vorlix_need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    vorlix_sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive vorlix_sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

VORLIX_BUILD_PACKAGES=(g++ cmake ninja-build libgtest-dev libgmock-dev binutils python3 pkg-config libcairo2-dev fonts-dejavu-core libx264-dev ffmpeg libavformat-dev libavcodec-dev libswscale-dev libswresample-dev libavutil-dev)

# The settings of the tree scripts/test builds first; scripts/capture builds its program
# in that same tree, so whatever the tests built is not built again.
VORLIX_TEST_TREE_OPTIONS=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLIX_WERROR=ON)

# vorlix_build DIR [cmake options...]: configures (once) and builds a tree.
# VORLIX_TARGETS (optional): build only these targets.
vorlix_build() {
  local dir=$1
  shift
  cmake -S "$VORLIX_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  local targets=()
  for t in ${VORLIX_TARGETS:-}; do targets+=(--target "$t"); done
  cmake --build "$dir" -j "$VORLIX_JOBS" "${targets[@]}"
}
