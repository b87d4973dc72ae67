#!/usr/bin/env bash
# The whole story on the simulated machine: builds the host preset and runs one hotswap cycle on
# the built-in workstation (a PEX 8748 with seven drives and an on-board drive), with the drive
# in slot 1 replaced by another while the links are down. Its links take 25 to 60 ms to train
# and its drives 180 to 900 ms more to answer, as on real hardware, so the cycle waits for them;
# the same steps without the wait show what that wait is for.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

cmake --preset host >/dev/null
cmake --build --preset host --target corvaxctl >/dev/null

ctl=build/host/tools/corvaxctl/corvaxctl
echo "== the machine before the cycle"
"$ctl" table
echo
echo "== corvaxctl hotswap replace 0:1 1f0a:0710"
"$ctl" hotswap replace 0:1 1f0a:0710
echo
echo "== the same steps without the wait: rescan and restore right after the enable"
printf 'disable\nsim replace 0:1 1f0a:0710\nenable\nrestore\nrescan\ntable\n' | "$ctl" script -
