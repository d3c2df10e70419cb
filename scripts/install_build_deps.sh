#!/usr/bin/env bash
# Installs the system packages the build needs, when they are missing: the
# development files of zlib and libzstd, through which tidemark_tools reads
# compressed recordings (.gz, .zst). Does nothing when they are there.
set -euo pipefail
packages=(zlib1g-dev libzstd-dev)
if dpkg -s "${packages[@]}" >/dev/null 2>&1; then
  exit 0
fi
if ! command -v apt-get >/dev/null 2>&1; then
  echo "install the development files of zlib and libzstd with your system's package manager" >&2
  exit 1
fi
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${packages[@]}" >/dev/null
