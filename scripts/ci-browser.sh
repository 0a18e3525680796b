#!/usr/bin/env bash
# Installs Debian's chromium for the test that renders the HTML report in a
# real headless browser (nothing to do when it is there already).
set -euo pipefail
if command -v chromium >/dev/null 2>&1; then
  exit 0
fi
sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
echo "ci-browser: installing chromium"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends chromium fonts-dejavu-core >/dev/null
chromium --version
