#!/usr/bin/env bash
# Makes the Debian package from a built tree: installs it into a staging
# folder with the prefix /usr, strips the binaries (their debug information
# stays in BUILD/packaging/debug), adds the documentation, the maintainer
# scripts and the control file (dependencies from dpkg-shlibdeps), and
# writes OUTPUT/tessera_VERSION_ARCH.deb.
#
#   build-deb.sh BUILD OUTPUT VERSION
set -euo pipefail
build=$(realpath "$1")
mkdir -p "$2"
out=$(realpath "$2")
version=$3
here=$(cd "$(dirname "$0")" && pwd)
arch=$(dpkg --print-architecture)
stage=$build/packaging/deb-root
debug=$build/packaging/debug

rm -rf "$stage"
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null

mkdir -p "$debug"
binaries=(usr/lib/tessera/tessera-host usr/lib/tessera/tessera-plugin.so usr/bin/tessera-certutil)
# The PKCS #11 module, where the build has it (Linux builds with p11-kit's header).
# Its p11-kit file was written for the build's own prefix: name the
# packaged module instead.
if [ -f "$stage/usr/lib/pkcs11/libtessera-pkcs11.so" ]; then
  binaries+=(usr/lib/pkcs11/libtessera-pkcs11.so)
  sed -i 's|^module:.*|module: /usr/lib/pkcs11/libtessera-pkcs11.so|' "$stage/usr/share/p11-kit/modules/tessera.module"
fi
for f in "${binaries[@]}"; do
  objcopy --only-keep-debug "$stage/$f" "$debug/$(basename "$f").debug"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$stage/$f"
done

doc=$stage/usr/share/doc/tessera
install -d "$doc"
install -m 644 "$here/copyright" "$doc/copyright"
sed "s/@PROJECT_VERSION@/$version/g" "$here/changelog.in" | gzip -9n > "$doc/changelog.gz"

find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +
chmod 755 "$stage/usr/lib/tessera/tessera-host" "$stage/usr/bin/tessera-certutil"

# dpkg-shlibdeps reads debian/control of a source tree; a minimal one will do.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debian"
printf 'Source: tessera\n\nPackage: tessera\nArchitecture: any\n' > "$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "${binaries[@]/#/$stage/}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "build-deb.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

install -d -m 755 "$stage/DEBIAN"
size=$(du -sk "$stage" | cut -f1)
sed -e "s/@PROJECT_VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  "$here/control.in" > "$stage/DEBIAN/control"
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) > "$stage/DEBIAN/md5sums"
chmod 644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
install -m 755 "$here/postinst" "$here/prerm" "$here/postrm" "$stage/DEBIAN/"

package=$out/tessera_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$package" >/dev/null
echo "$package"
