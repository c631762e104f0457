#!/usr/bin/env bash
# Installs, with apt-get and only when absent, what building and testing need
# on a fresh Debian 12 machine.
set -euo pipefail
packages=(cmake ninja-build g++ make pkg-config libgtest-dev ffmpeg
          libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
          libopencore-amrnb-dev atomicparsley python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
