#!/usr/bin/env bash
# Installs the browsers that the real-browser tests drive, Debian's chromium and firefox-esr, when
# either is missing, and bubblewrap, which gives Chromium the view of a Flatpak sandbox. Quiet, and does
# nothing when all are there.
exec "$(dirname "${BASH_SOURCE[0]}")/install-deps.sh" chromium firefox-esr bubblewrap
