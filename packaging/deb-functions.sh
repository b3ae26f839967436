# Steps both Debian packages share; sourced by assemble-deb.sh and assemble-server-deb.sh.
deb_here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# deb_changelog ROOT PACKAGE VERSION DATE_REFERENCE: the changelog of the package's release and build.
deb_changelog() {
  local root="$1" package="$2" version="$3" reference="$4"
  local release="${version%+*}" build_number="${version#*+}"
  local date
  date="$(date -R -u -d "@${SOURCE_DATE_EPOCH:-$(stat -c %Y "$reference")}")"
  install -d -m 755 "$root/usr/share/doc/$package"
  sed -e "s/@VERSION@/$version/g" -e "s/@RELEASE@/$release/g" -e "s/@BUILD@/$build_number/g" -e "s/@DATE@/$date/" \
    -e "s/^tessary /$package /" "$deb_here/debian/changelog.in" | gzip -9n > "$root/usr/share/doc/$package/changelog.gz"
}

# deb_shlib_depends STAGE PACKAGE FILE...: the Depends the binaries' libraries call for.
deb_shlib_depends() {
  local stage="$1" package="$2"; shift 2
  printf 'Source: tessary\n\nPackage: %s\nArchitecture: any\n' "$package" > "$stage/debian/control"
  local shlibs
  shlibs="$(cd "$stage" && dpkg-shlibdeps -O "${@#"$stage"/}")"
  echo "${shlibs#shlibs:Depends=}"
}

# deb_build ROOT OUTPUT_FILE CONFFILE...: sums, configuration files and the package itself.
deb_build() {
  local root="$1" package="$2"; shift 2
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 md5sum) \
    > "$root/DEBIAN/md5sums"
  printf '%s\n' "$@" > "$root/DEBIAN/conffiles"
  chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums" "$root/DEBIAN/conffiles"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$package" >/dev/null
  echo "$package"
}
