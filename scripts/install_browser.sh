#!/usr/bin/env bash
# Chromium and its driver from Debian's packages, for the test that drives the
# labelling page headless. Nothing is downloaded by the test itself.
set -euo pipefail
if [ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ]; then
    exit 0
fi
if [ "$(id -u)" != 0 ] || ! command -v apt-get > /dev/null; then
    echo "install_browser: cannot install Chromium here (needs root and apt-get); the browser test will skip" >&2
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -qq && apt-get install -y -qq chromium chromium-driver > /dev/null; }; then
    echo "install_browser: apt-get could not install chromium and chromium-driver; the browser test will skip" >&2
fi
