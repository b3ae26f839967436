#!/usr/bin/env bash
# Checks the family server's Debian package assembled from this build tree.
#   contents: its files and fields, and systemd's reading of its unit (a unit with an unknown key is
#             caught: the control case);
#   install:  on a disposable machine (TESSARY_DISPOSABLE_MACHINE=1, as root), installed with apt, a
#             parent added, the installed program serving the dashboard from the installed
#             configuration without the admin interface, then purged with its data.
# Usage: ServerPackageTest.sh BUILD_DIR contents|install   (exit 77: skipped)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
check="$2"
[ "$check" != install ] || only_on_a_disposable_machine
deb="$(assemble_package assemble-server-deb.sh)"
version="$(cat "$build/server/package-version")"

if [ "$check" = contents ]; then
  expect_equal "file name" "$(basename "$deb")" "tessary-server_${version}_$(dpkg --print-architecture).deb"
  expect_equal "package" "$(dpkg-deb -f "$deb" Package)" tessary-server
  expect_depends "$deb" libc6 libsodium23 libsqlite3-0 libssl3 init-system-helpers
  depends="$(dpkg-deb -f "$deb" Depends)"
  [[ "$depends" != *libqt* ]] || fail "the server depends on Qt: $depends"
  expect_files "$deb" <<LIST
-rw-r--r-- root/root etc/tessary-server/server.json
-rw-r--r-- root/root lib/systemd/system/tessary-server.service
-rwxr-xr-x root/root usr/bin/tessary-server
-rw-r--r-- root/root usr/share/doc/tessary-server/README.md
-rw-r--r-- root/root usr/share/doc/tessary-server/changelog.gz
-rw-r--r-- root/root usr/share/doc/tessary-server/copyright
LIST
  expect_equal "conffiles" "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" /etc/tessary-server/server.json

  dpkg-deb -x "$deb" "$work/root"
  # The packaged configuration is one the program accepts.
  said="$("$work/root/usr/bin/tessary-server" --config "$work/root/etc/tessary-server/server.json" --colour 2>&1 || true)"
  [[ "$said" == "unexpected argument --colour"* ]] || fail "the packaged server.json is refused: $said"
  if command -v systemd-analyze >/dev/null; then
    # The unit as installed, but starting the extracted program; then a unit systemd must complain of.
    mkdir "$work/units"
    sed "s|^ExecStart=/usr/bin/tessary-server|ExecStart=$work/root/usr/bin/tessary-server|" \
      "$work/root/lib/systemd/system/tessary-server.service" > "$work/units/tessary-server.service"
    said="$(systemd-analyze verify "$work/units/tessary-server.service" 2>&1)" || fail "systemd-analyze: $said"
    [ -z "$said" ] || fail "systemd-analyze: $said"
    printf '[Service]\nExecStart=/bin/true\nUnknownKey=1\n' > "$work/units/control.service"
    [ -n "$(systemd-analyze verify "$work/units/control.service" 2>&1)" ] ||
      fail "systemd-analyze says nothing of a unit with an unknown key: the check above proves nothing"
  elif [ "${TESSARY_DISPOSABLE_MACHINE:-}" = 1 ]; then
    fail "systemd-analyze is not installed"
  fi
  finish
fi

not_yet_installed tessary-server
server=""
cleanup() { kill "$server" 2>/dev/null || true; apt-get purge -y -qq tessary-server >/dev/null 2>&1 || true; }
apt_quietly install "$deb" || true
installed tessary-server || { echo "FAIL: not installed"; exit 1; }

added="$(echo 'correct horse' | tessary-server add-parent --config /etc/tessary-server/server.json ada 2>&1)" ||
  fail "add-parent: $added"
expect_equal "add-parent" "$added" "Parent ada signs in to family family-1"
tessary-server --config /etc/tessary-server/server.json --listen 127.0.0.1 --port 0 > "$work/server.log" 2>&1 &
server=$!
# Certificates are made at the first start; a loaded machine may take a while.
for _ in $(seq 600); do
  grep -q '^TESSARY_CA_FILE=' "$work/server.log" && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
url="$(sed -n 's/^TESSARY_SERVICE_URL=//p' "$work/server.log")"
ca="$(sed -n 's/^TESSARY_CA_FILE=//p' "$work/server.log")"
expect_equal "CA file" "$ca" /var/lib/tessary-server/ca.pem
if [ -n "$url" ]; then
  curl -fsS --cacert "$ca" "$url/" | grep -q 'Sign in' || fail "the dashboard's sign-in page is not served"
  expect_equal "admin interface" "$(curl -sS -o /dev/null -w '%{http_code}' --cacert "$ca" "$url/admin/devices")" 404
else
  fail "the installed server did not start: $(cat "$work/server.log")"
fi
kill "$server"
wait "$server" || true
expect_equal "data folder mode" "$(stat -L -c %a /var/lib/tessary-server)" 700

apt_quietly purge tessary-server || true
installed tessary-server && fail "still installed after purge"
for left in /usr/bin/tessary-server /etc/tessary-server /lib/systemd/system/tessary-server.service /var/lib/tessary-server; do
  [ ! -e "$left" ] || fail "purge left $left"
done
finish
