#!/usr/bin/env bash
# Installs what the browser tests need: Debian's chromium, node and npm (when
# no node is there yet), and playwright-core at the version pinned in
# tests/browser/package-lock.json. Playwright downloads no browser of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(chromium)
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

bash scripts/install-deps.sh "${packages[@]}"

cd tests/browser
installed=node_modules/.package-lock.json
if [ ! -f "$installed" ] || ! cmp -s <(grep -A2 '"node_modules/playwright-core"' package-lock.json) \
                                  <(grep -A2 '"node_modules/playwright-core"' "$installed"); then
  echo "install-browser-deps: npm ci in tests/browser"
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
fi
