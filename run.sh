#!/usr/bin/env bash
# The whole story on the simulated machine: builds the host preset and runs one hotswap cycle on
# the built-in workstation (a PEX 8748 with seven drives and an on-board drive), with the drive
# in slot 1 replaced by another while the links are down. Its links take 25 to 60 ms to train
# and its drives 180 to 900 ms more to answer, as on real hardware, so the cycle waits for them;
# then five unattended cycles with a verdict on every slot; and last the same steps as the
# hotswap without the wait, to show what that wait is for.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

echo "== building corvaxctl (the host preset; the first build takes a few minutes)"
cmake --preset host >/dev/null
# Ninja's progress as one line that counts up, instead of silence; anything else it says (a
# compiler's error) in full.
cmake --build --preset host --target corvaxctl 2>&1 |
    awk '/^\[[0-9]+\/[0-9]+\]/ { printf "\r  step %s", $1; fflush(); next }
         /^ninja: no work to do/ { next }
         { print "\n" $0 }
         END { print "\r  done           " }'

ctl=build/host/tools/corvaxctl/corvaxctl
echo
echo "== the machine before the cycle"
"$ctl" table
echo
echo "== corvaxctl hotswap replace 0:1 1f0a:0710"
"$ctl" hotswap replace 0:1 1f0a:0710
echo
echo "== corvaxctl cycle --count 5: five unattended cycles, a verdict on every slot after each"
"$ctl" cycle --count 5
echo
echo "== the same steps as the hotswap without the wait: rescan and restore right after the enable"
echo "   (a fresh machine: every run of corvaxctl builds its own)"
printf 'disable\nsim replace 0:1 1f0a:0710\nenable\nrestore\nrescan\ntable\n' | "$ctl" script -
echo
echo "The table above holds only the on-board drive, whose link was never cut. The seven drives"
echo "behind the switch were still training or starting when the rescan looked: the driver found"
echo "their slots silent, logged them lost and restored nothing. That is what the wait in"
echo "hotswap, cycle and 'corvaxctl wait' is for: it asks each slot until its drive answers,"
echo "and only then rescans and restores."
