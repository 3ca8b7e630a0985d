#!/usr/bin/env bash
# The tool's main job on the simulated plug: find it on COM1, show its
# firmware version, update it to the carried revision, leave the boot monitor,
# and search it again to see the new firmware running.
# Extra arguments go to the program (--wire: at the real line speed, about a
# minute; --sim=COM2 / --sim=none; --product=1010).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target plugupdate-console >/dev/null
exec ./build/default/frontends/plugupdate-console --sim --update --yes "$@"
