#!/usr/bin/env bash
# Starts the host from the build folder given as $1.
set -euo pipefail
build=$1
exec "$build/src/app/tolvi-host"
