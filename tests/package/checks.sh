# What the package checks share; sourced after `set -euo pipefail` with BUILD_DIR as $1. A check
# fails when fail or expect_equal counted a failure; exit 77 means skipped.
build="$(cd "$1" && pwd)"
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="$(mktemp -d)"
# What a check undoes at exit (a check that installs redefines it), before its work folder goes.
cleanup() { :; }
trap 'cleanup; rm -rf "$work"' EXIT
export DEBIAN_FRONTEND=noninteractive
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_equal() { [ "$2" = "$3" ] || fail "$1: expected [$3], got [$2]"; }
finish() { exit $((failures > 0)); }

# Installing changes /etc, /opt and /usr: only as root on a disposable machine, which CI is.
only_on_a_disposable_machine() {
  if [ "${TESSARY_DISPOSABLE_MACHINE:-}" != 1 ] || [ "$(id -u)" -ne 0 ]; then
    echo "installs a package system-wide: only as root with TESSARY_DISPOSABLE_MACHINE=1"
    exit 77
  fi
}

# The package one of packaging/'s scripts assembles from the build, in the work folder; its path.
assemble_package() { bash "$source_dir/packaging/$1" "$build" "$work"; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
# A package already here would be what the check installs over and then removes.
not_yet_installed() {
  if installed "$1"; then
    echo "FAIL: a $1 package is already installed here"
    exit 1
  fi
}

# apt-get, quiet unless it fails: then its output is shown and the failure counted (status 1).
apt_quietly() { apt-get -y -qq "$@" > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt $1"; return 1; }; }

# expect_files DEB < LINES: the files and links DEB holds, with mode and owner, are these lines.
expect_files() {
  local expected differences
  expected="$(LC_ALL=C sort)"
  differences="$(diff <(echo "$expected") \
    <(dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $1, $2, $6 }' | LC_ALL=C sort))" ||
    fail "files (< expected, > packaged):"$'\n'"$differences"
}

# expect_depends DEB PACKAGE...: each package is among DEB's dependencies.
expect_depends() {
  local depends package
  depends="$(dpkg-deb -f "$1" Depends)"
  for package in "${@:2}"; do
    [[ ", $depends," == *", $package"[\ ,]* ]] || fail "Depends lacks $package: $depends"
  done
}
