#!/usr/bin/env bash
# Installs Debian's Eigen 3.4 headers when they are missing.
set -euo pipefail
[ -f /usr/include/eigen3/Eigen/Core ] && exit 0
SUDO=$([ "$(id -u)" -eq 0 ] && echo "" || echo sudo)
echo "Installing libeigen3-dev ..." >&2
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq libeigen3-dev
