#!/usr/bin/env bash
# Installs the Debian package assembled from this build with apt, as a family would; runs the
# installed agent and headless Chromium against it (installed_package_tests); then removes it, and
# installs and purges it again, checking each time that nothing it installed is left behind; last,
# shows that check catching files planted in the package's folders.
# It changes /etc, /opt and /usr, so it runs only as root on a disposable machine
# (TESSARY_DISPOSABLE_MACHINE=1, which CI sets).
# Usage: InstallTest.sh BUILD_DIR   (exit 77: skipped)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
only_on_a_disposable_machine
not_yet_installed tessary
cleanup() { apt-get purge -y -qq tessary >/dev/null 2>&1 || true; }

deb="$(assemble_package assemble-deb.sh)"
# Every name below the folders a package may write to, and the homes it must never touch.
system_files() { find /etc /opt /usr /home -xdev -printf '%y %p\n' 2>/dev/null | LC_ALL=C sort; }
packages() { dpkg-query -W -f='${Package}\n' | LC_ALL=C sort; }
system_files > "$work/files-before"
packages > "$work/packages-before"

install_package() {
  apt_quietly install "$deb" || return 1
  installed tessary || { fail "not installed after apt install"; return 1; }
  dpkg -L tessary > "$work/package-files"
  dpkg-query -W -f='${Conffiles}\n' tessary | awk 'NF { print $1 }' > "$work/conffiles"
  # Its dependencies were all here already, so removing it must bring back exactly what was.
  local added
  added="$(comm -13 "$work/packages-before" <(packages) | tr '\n' ' ')"
  [ "$added" = "tessary " ] || fail "apt installed more than the package: $added"
}

# What the package left behind: a name that appeared since the "before" listing and that the package
# installed, or that lies in a folder the package created, or anything in a home. Whatever the test's
# browsers and tools create elsewhere (Chromium run as root makes /usr/lib/chromium/extensions) is theirs.
left_by_package() {
  comm -13 "$work/files-before" "$work/files-after" | awk -v owned="$work/package-files" -v before="$work/files-before" '
    BEGIN {
      while ((getline line < owned) > 0) mine[line] = 1
      while ((getline line < before) > 0) had[substr(line, 3)] = 1
    }
    {
      path = substr($0, 3)
      if (path ~ /^\/home\//) { print; next }
      for (p = path; p != ""; sub(/\/[^\/]*$/, "", p))
        if ((p in mine) && !(p in had)) { print; next }
    }'
}

# After a remove (not a purge) dpkg keeps the conffiles, and the folders that hold them.
kept_conffiles() {
  awk -v conffiles="$work/conffiles" '
    BEGIN { while ((getline line < conffiles) > 0) for (p = line; p != ""; sub(/\/[^\/]*$/, "", p)) kept[p] = 1 }
    !(substr($0, 3) in kept)'
}

check_removed() {
  local how="$1"
  installed tessary && fail "$how: still installed"
  system_files > "$work/files-after"
  local left gone
  left="$(left_by_package)"
  if [ "$how" = remove ]; then
    for conffile in $(cat "$work/conffiles"); do
      [ -f "$conffile" ] || fail "remove: the conffile $conffile was not kept"
    done
    left="$(kept_conffiles <<< "$left")"
  fi
  [ -z "$left" ] || fail "$how: left behind:"$'\n'"$left"
  # dpkg also takes away an empty folder the package listed that no other package owns, even one
  # that was there before; any other loss is a fault.
  gone="$(comm -23 "$work/files-before" "$work/files-after" | grep -v '^d ' || true)"
  [ -z "$gone" ] || fail "$how: removed what was not the package's:"$'\n'"$gone"
}

echo "== apt install, then the installed agent and Chromium"
if install_package; then
  grep -qx /opt/tessary/Contents/bin/PellixApp "$work/package-files" || fail "no agent at /opt/tessary"
  # Every test must run against the installed package: a skipped one would hide what it checks.
  "$build/tests/e2e/installed_package_tests" > "$work/installed.log" 2>&1 || fail "installed_package_tests"
  cat "$work/installed.log"
  ! grep -q '^\[  SKIPPED \]' "$work/installed.log" || fail "installed_package_tests skipped tests"
  verified="$(dpkg --verify tessary 2>&1)" || true
  [ -z "$verified" ] || fail "installed files changed:"$'\n'"$verified"

  echo "== apt remove"
  apt_quietly remove tessary || true
  check_removed "remove"
fi

echo "== apt install, then apt purge"
if install_package; then
  apt_quietly purge tessary || true
  check_removed "purge"
fi

echo "== a leftover in the package's folders is caught"
if install_package; then
  planted=(/opt/tessary/stray /etc/chromium/native-messaging-hosts/stray.json)
  for f in "${planted[@]}"; do echo '{}' > "$f"; done
  apt_quietly remove tessary || true
  system_files > "$work/files-after"
  caught="$(left_by_package)"
  for f in "${planted[@]}"; do
    grep -qx "f $f" <<< "$caught" || fail "a planted $f was not reported as left behind"
  done
  rm -f "${planted[@]}"
  for d in /opt/tessary /etc/chromium/native-messaging-hosts; do
    grep -qx "d $d" "$work/files-before" || rmdir --ignore-fail-on-non-empty "$d" 2>/dev/null || true
  done
fi

finish
