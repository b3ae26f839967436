#!/usr/bin/env bash
# Assembles tessary_<version>_<arch>.deb from a build tree whose bundle and tessary-package-files
# are built (scripts/package.sh builds them first), and prints the package's path.
# Usage: bash packaging/assemble-deb.sh BUILD_DIR OUTPUT_DIR
set -euo pipefail
umask 022
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/deb-functions.sh"
build="$(cd "$1" && pwd)"
mkdir -p "$2"
out="$(cd "$2" && pwd)"

bundle="$build/Tessary"
info="$bundle/Contents/Info.json"
info_value() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$info" "$1"; }
# The build is part of the package's version: a new build of the same release must sort after the
# installed one, or the package installer would take it for what is already installed.
release="$(info_value CFBundleShortVersionString)"
build_number="$(info_value CFBundleVersion)"
version="$release+$build_number"
arch="$(dpkg --print-architecture)"
install_folder=/opt/tessary

stage="$(mktemp -d "$out/tessary-package.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
# Where dpkg-shlibdeps looks for the files of package "tessary" (beside DEBIAN/).
root="$stage/debian/tessary"
mkdir -p "$root/DEBIAN"

# The bundle, as the build lays it out, without its debugging information.
mkdir -p "$root/opt"
cp -r "$bundle" "$root$install_folder"
# An installed agent takes its service from the root-owned configuration file, never from the
# environment, which is the child's to set.
python3 - "$root$install_folder/Contents/Info.json" <<'PYTHON'
import json, sys
info = json.load(open(sys.argv[1]))
info["TessaryConfigurationFile"] = "/etc/tessary/agent.json"
with open(sys.argv[1], "w") as out:
    json.dump(info, out, indent=2)
    out.write("\n")
PYTHON
dynamic_elf_files=()
while IFS= read -r -d '' file; do
  if [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]; then
    strip --strip-unneeded --remove-section=.comment --remove-section=.note "$file"
    if readelf -d "$file" | grep -q NEEDED; then dynamic_elf_files+=("$file"); fi
  fi
done < <(find "$root$install_folder" -type f -print0)

"$build/tools/packaging/tessary-package-files" "$root" "$install_folder" \
  "$bundle/Contents/Resources/MDM/tessary-profile-signed.mobileconfig"

install -D -m 644 "$here/debian/copyright" "$root/usr/share/doc/tessary/copyright"
deb_changelog "$root" tessary "$version" "$info"
install -D -m 644 "$here/debian/lintian-overrides" "$root/usr/share/lintian/overrides/tessary"
chmod -R u+rwX,go=rX "$root"
find "$root" -name '*.so' -exec chmod 644 {} +

# Dependencies as the binaries declare them; the panel's QML modules are loaded by name at run
# time, so no binary names their packages.
depends="$(deb_shlib_depends "$stage" tessary "${dynamic_elf_files[@]}")"
qml_modules="qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, \
qml6-module-qtquick-templates, qml6-module-qtquick-window, qml6-module-qtqml-workerscript"

cat > "$root/DEBIAN/control" <<CONTROL
Package: tessary
Version: $version
Architecture: $arch
Maintainer: Tessary packaging <packages@brenmoor.app>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends, $qml_modules
Recommends: xdg-utils
Section: admin
Priority: optional
Description: parental monitoring agent for a child's desktop account
 Tessary keeps a parent's rules in force on a child's desktop account: it
 pairs the computer with the parent's family, reports and blocks
 applications, and hands the site rules to the browsers.
 .
 The agent starts with every graphical session. Chrome, Chromium, Brave,
 Microsoft Edge and Vivaldi receive a policy that keeps the Tessary
 extension installed, and its native-messaging host; Firefox receives its
 native-messaging host and a policy that keeps the extension installed.
CONTROL
# Firefox reads one policy file for every policy: a family that had its own merges it with ours, and
# dpkg keeps their merged file through upgrades.
deb_build "$root" "$out/tessary_${version}_${arch}.deb" /etc/firefox/policies/policies.json
