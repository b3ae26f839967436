#!/usr/bin/env bash
# Assembles tessary-server_<version>_<arch>.deb from a build tree whose tessary-server is built
# (scripts/package.sh builds it first), and prints the package's path.
# Usage: bash packaging/assemble-server-deb.sh BUILD_DIR OUTPUT_DIR
set -euo pipefail
umask 022
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/deb-functions.sh"
build="$(cd "$1" && pwd)"
mkdir -p "$2"
out="$(cd "$2" && pwd)"

version="$(cat "$build/server/package-version")"
arch="$(dpkg --print-architecture)"

stage="$(mktemp -d "$out/tessary-server-package.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
root="$stage/debian/tessary-server"
mkdir -p "$root/DEBIAN"

install -D -m 755 "$build/server/tessary-server" "$root/usr/bin/tessary-server"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/tessary-server"
install -D -m 644 "$here/server/tessary-server.service" "$root/lib/systemd/system/tessary-server.service"
install -D -m 644 "$here/server/server.json" "$root/etc/tessary-server/server.json"
doc="$root/usr/share/doc/tessary-server"
install -D -m 644 "$here/debian/copyright" "$doc/copyright"
install -D -m 644 "$here/../server/README.md" "$doc/README.md"
deb_changelog "$root" tessary-server "$version" "$build/server/package-version"
for script in postinst prerm postrm; do
  install -m 755 "$here/server/$script" "$root/DEBIAN/$script"
done
chmod -R u+rwX,go=rX "$root"

depends="$(deb_shlib_depends "$stage" tessary-server "$root/usr/bin/tessary-server")"
cat > "$root/DEBIAN/control" <<CONTROL
Package: tessary-server
Version: $version
Architecture: $arch
Maintainer: Tessary packaging <packages@brenmoor.app>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends, init-system-helpers
Section: admin
Priority: optional
Description: family server for Tessary parental monitoring, with the parents' dashboard
 Tessary's agent on a child's computer pairs with a family, reports the
 applications and pages used and keeps the parent's rules. This server is
 the service it talks to, run by the family on a home server or a small
 VPS, with the web dashboard where parents see activity, set rules and
 answer their children's requests.
 .
 It runs as a system service under its own user, keeps its data in
 /var/lib/tessary-server and reads /etc/tessary-server/server.json.
CONTROL
deb_build "$root" "$out/tessary-server_${version}_${arch}.deb" /etc/tessary-server/server.json
