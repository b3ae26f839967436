#!/usr/bin/env bash
# Checks the Debian package assembled from this build tree.
# Usage: PackageTest.sh BUILD_DIR contents|lintian   (exit 77: skipped)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
check="$2"
deb="$(assemble_package assemble-deb.sh)"

if [ "$check" = lintian ]; then
  command -v lintian >/dev/null || { echo "lintian is not installed"; exit 77; }
  # Overridden tags are reported apart and do not fail; every error does.
  lintian --fail-on error --no-tag-display-limit "$deb" || fail "lintian reports errors"
  finish
fi

info_value() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' \
  "$build/Tessary/Contents/Info.json" "$1"; }
version="$(info_value CFBundleShortVersionString)+$(info_value CFBundleVersion)"
arch="$(dpkg --print-architecture)"
expect_equal "file name" "$(basename "$deb")" "tessary_${version}_${arch}.deb"

# Control fields.
while IFS='|' read -r field expected; do
  expect_equal "field $field" "$(dpkg-deb -f "$deb" "$field")" "$expected"
done <<FIELDS
Package|tessary
Version|$version
Architecture|$arch
Section|admin
FIELDS
# Read from the binaries: the C library for all, Qt for the agent and its panel.
expect_depends "$deb" libc6 libqt6core6 libqt6widgets6 libqt6quick6 libdbus-1-3 qml6-module-qtquick

# Nothing runs at install or removal, so dpkg alone puts every file in place and takes every one
# away again; nothing can reach into a user's home. Firefox's policy is the one conffile.
members="$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | LC_ALL=C sort | tr '\n' ' ')"
expect_equal "control members" "$members" "conffiles control md5sums "
expect_equal "conffiles" "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" \
  "/etc/firefox/policies/policies.json"

# Every file and link, with owner and mode.
browser_folders=(etc/opt/chrome etc/chromium etc/brave etc/opt/edge etc/opt/vivaldi)
expect_files "$deb" <<LIST
$(for folder in "${browser_folders[@]}"; do
  echo "-rw-r--r-- root/root $folder/native-messaging-hosts/app.brenmoor.tessary.json"
  echo "-rw-r--r-- root/root $folder/policies/managed/app.brenmoor.tessary.json"
done)
-rw-r--r-- root/root etc/xdg/autostart/app.brenmoor.tessary.desktop
-rw-r--r-- root/root etc/firefox/policies/policies.json
-rw-r--r-- root/root opt/tessary/Contents/Info.json
-rwxr-xr-x root/root opt/tessary/Contents/bin/PellixApp
-rwxr-xr-x root/root opt/tessary/Contents/Helpers/tessary-chrome-host
-rwxr-xr-x root/root opt/tessary/Contents/Helpers/tessary-firefox-host
-rwxr-xr-x root/root opt/tessary/Contents/Helpers/tessary-panel
-rw-r--r-- root/root usr/lib/mozilla/native-messaging-hosts/app.brenmoor.tessary.json
-rw-r--r-- root/root opt/tessary/Contents/PlugIns/Tessary_Web_Extension.so
-rw-r--r-- root/root opt/tessary/Contents/PlugIns/Tessary_XEmbedTray.so
-rw-r--r-- root/root opt/tessary/Contents/Resources/MenuBarIcon.png
-rw-r--r-- root/root opt/tessary/Contents/Resources/TessaryShield.png
-rw-r--r-- root/root opt/tessary/Contents/Resources/MDM/tessary-profile-signed.mobileconfig
-rw-r--r-- root/root usr/share/doc/tessary/copyright
-rw-r--r-- root/root usr/share/doc/tessary/changelog.gz
-rw-r--r-- root/root usr/share/lintian/overrides/tessary
-rw-r--r-- root/root usr/lib/systemd/user/app.brenmoor.tessary.keepalive.service
lrwxrwxrwx root/root usr/lib/systemd/user/graphical-session.target.wants/app.brenmoor.tessary.keepalive.service
LIST
odd_folders="$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")')"
[ -z "$odd_folders" ] || fail "folder modes or owners:"$'\n'"$odd_folders"

# The generated files point into the installed bundle.
dpkg-deb -x "$deb" "$work/root"
host=/opt/tessary/Contents/Helpers/tessary-chrome-host
chrome_manifest="$work/root/etc/opt/chrome/native-messaging-hosts/app.brenmoor.tessary.json"
expect_equal "manifest path" "$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["path"])' \
  "$chrome_manifest")" "$host"
firefox_manifest="$work/root/usr/lib/mozilla/native-messaging-hosts/app.brenmoor.tessary.json"
python3 - "$firefox_manifest" <<'PYTHON' || fail "Firefox's manifest does not name the Firefox host and the extension"
import json, sys
manifest = json.load(open(sys.argv[1]))
assert manifest["name"] == "app.brenmoor.tessary" and manifest["type"] == "stdio", manifest
assert manifest["path"] == "/opt/tessary/Contents/Helpers/tessary-firefox-host", manifest
assert manifest["allowed_extensions"] == ["web-extension@tessary.brenmoor.app"], manifest
assert "allowed_origins" not in manifest, manifest
PYTHON
python3 - "$work/root/etc/firefox/policies/policies.json" <<'PYTHON' || fail "Firefox's policy does not force the extension"
import json, sys
policies = json.load(open(sys.argv[1]))["policies"]
extension = policies["ExtensionSettings"]["web-extension@tessary.brenmoor.app"]
assert extension["installation_mode"] == "force_installed", extension
assert extension["install_url"] == "https://api.tessary.app/releases/tessary-web-extension.xpi", extension
assert extension["private_browsing"] is True, extension
assert policies["DisablePrivateBrowsing"] is True, policies
assert "xpinstall.signatures.required" not in json.dumps(policies), policies
PYTHON
policy="$work/root/opt/tessary/Contents/Resources/MDM/tessary-profile-signed.mobileconfig"
for folder in "${browser_folders[@]}"; do
  cmp -s "$work/root/$folder/native-messaging-hosts/app.brenmoor.tessary.json" "$chrome_manifest" ||
    fail "$folder: manifest differs from Chrome's"
  cmp -s "$work/root/$folder/policies/managed/app.brenmoor.tessary.json" "$policy" ||
    fail "$folder: policy differs from the bundle's"
done
# Every browser takes the extensions from the Chrome Web Store only when told so: Microsoft Edge
# otherwise looks in its own store, and a force_installed setting without update_url is invalid.
python3 - "$policy" <<'PYTHON' || fail "policy does not name the Chrome Web Store for every extension"
import json, sys
store = "https://clients2.google.com/service/update2/crx"
policy = json.load(open(sys.argv[1]))
forced = policy["ExtensionInstallForcelist"]
settings = policy["ExtensionSettings"]
assert forced and all(entry.endswith(";" + store) for entry in forced), forced
assert {entry.split(";")[0] for entry in forced} == set(settings), settings
assert all(s["installation_mode"] == "force_installed" and s["update_url"] == store for s in settings.values())
PYTHON
python3 -c 'import json, sys; sys.exit(json.load(open(sys.argv[1])).get("TessaryConfigurationFile") != "/etc/tessary/agent.json")' \
  "$work/root/opt/tessary/Contents/Info.json" || fail "the installed agent does not read /etc/tessary/agent.json"
# A host manifest in the child's own folder must not replace the installed one.
python3 -c 'import json, sys; sys.exit(json.load(open(sys.argv[1])).get("NativeMessagingUserLevelHosts") is not False)' \
  "$policy" || fail "policy lets a user-level native-messaging host replace the installed one"
grep -qx 'Exec=/opt/tessary/Contents/bin/PellixApp' "$work/root/etc/xdg/autostart/app.brenmoor.tessary.desktop" ||
  fail "autostart entry does not start the installed agent"
units="$work/root/usr/lib/systemd/user"
grep -qx 'ExecStart=/opt/tessary/Contents/bin/PellixApp' "$units/app.brenmoor.tessary.keepalive.service" ||
  fail "keep-alive unit does not start the installed agent"
expect_equal "keep-alive link" \
  "$(readlink "$units/graphical-session.target.wants/app.brenmoor.tessary.keepalive.service")" \
  ../app.brenmoor.tessary.keepalive.service

finish
