#!/usr/bin/env bash
# Installs what the browser tests need: Debian's chromium, node and npm (when
# no node is there yet), and playwright-core at the version pinned in
# tests/browser/package-lock.json. Playwright downloads no browser of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(chromium)
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-browser-deps: missing packages: ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  echo "install-browser-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cd tests/browser
installed=node_modules/.package-lock.json
if [ ! -f "$installed" ] || ! cmp -s <(grep -A2 '"node_modules/playwright-core"' package-lock.json) \
                                  <(grep -A2 '"node_modules/playwright-core"' "$installed"); then
  echo "install-browser-deps: npm ci in tests/browser"
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
fi
