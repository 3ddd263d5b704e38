#!/usr/bin/env bash
# Installs, from Debian's packages, everything the project needs to build, test and run.
# Idempotent: returns at once when every package is already installed.
set -euo pipefail

case "${1:-}" in
  -h | --help)
    cat <<'EOF'
usage: scripts/install_deps.sh

Installs with apt-get every Debian package the project needs to build, test and run (the
list is in this script); returns at once when they are all there. Needs root, or sudo.
Exit status: 0 when every package is installed.
EOF
    exit 0
    ;;
esac

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libzmq3-dev python3-zmq
  capnproto libcapnp-dev
  libavformat-dev libavcodec-dev libavutil-dev ffmpeg
  libavdevice-dev libswscale-dev libgps-dev gpsd gpsd-clients python3-gps systemd
  libx264-dev libx265-dev libyuv-dev
  ocl-icd-opencl-dev opencl-headers pocl-opencl-icd
  qtbase5-dev qtbase5-private-dev qtwayland5 libwayland-dev weston
  fonts-liberation2 fonts-dejavu-core
  nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libiceoryx-posh-dev iceoryx
  libcpp-httplib-dev chromium chromium-driver
  python3
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
