#!/usr/bin/env bash
# Installs the browsers that the real-browser tests drive, Debian's chromium and firefox-esr, when
# either is missing. Quiet, and does nothing when both are there.
exec "$(dirname "${BASH_SOURCE[0]}")/install-deps.sh" chromium firefox-esr
