#!/usr/bin/env bash
# The demo: a fiscal day against the emulated device. It grows with the command set.
set -euo pipefail
build=${1:-build/native}
echo "libsat demo: built in $build"
echo "The fiscal day (activation, sales, cancellation, queries) runs through satcli against"
echo "satemu once those commands are built; for now the library's own exports are shown."
