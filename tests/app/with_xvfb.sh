#!/usr/bin/env bash
# Runs a command with DISPLAY naming a private Xvfb of its own, on a display number the server
# picks itself (so parallel tests never share one), kept up between clients (-noreset).
e2e_name=with_xvfb
source "$(dirname "$0")/../support/e2e.sh"
e2e_start_xvfb
"$@"
