#!/usr/bin/env bash
# Builds the Debian packages (version from the project) into the build folder:
# tessary_<version>_<arch>.deb, the agent (the bundle at /opt/tessary, the system-wide autostart
# entry, and for Chrome, Chromium, Brave, Microsoft Edge and Vivaldi the extension policy and the
# native-messaging host manifest), and tessary-server_<version>_<arch>.deb, the family server.
# Usage: bash scripts/package.sh [BUILD_DIR]   (default build-package, a Release build;
# TESSARY_BUILD_NUMBER sets the build number, TESSARY_JOBS limits the parallel compile jobs)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
build="${1:-build-package}"

bash scripts/setup.sh
# An existing build folder keeps its own configuration.
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARY_WARNINGS_AS_ERRORS=ON >/dev/null
[ -z "${TESSARY_BUILD_NUMBER:-}" ] || cmake -S . -B "$build" -DTESSARY_BUILD_NUMBER="$TESSARY_BUILD_NUMBER" >/dev/null
cmake --build "$build" -j "${TESSARY_JOBS:-$(nproc)}" \
  --target PellixApp tessary-chrome-host Tessary_Web_Extension tessary-panel tessary-package-files tessary-server
bash packaging/assemble-deb.sh "$build" "$build"
bash packaging/assemble-server-deb.sh "$build" "$build"
