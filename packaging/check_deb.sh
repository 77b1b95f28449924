#!/usr/bin/env bash
# Builds the Debian package of an already built tree into a scratch folder and
# checks its contents and control fields.
# Usage: check_deb.sh BUILD_DIR SCRATCH_DIR HAVE_CLI(0|1) HAVE_GUI(0|1)
set -euo pipefail
build=$1 scratch=$2 have_cli=$3 have_gui=$4

rm -rf "$scratch"
mkdir -p "$scratch"
# No compression: the test is about contents, and xz on a sanitizer build is slow.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch" \
  -D CPACK_DEBIAN_COMPRESSION_TYPE=none >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log"
  exit 1
}
deb=$(ls "$scratch"/*.deb)
echo "package: $deb"

fail=0
contents=$(dpkg-deb -c "$deb")
expect_file() {
  if ! grep -q " \./$1\$" <<<"$contents"; then
    echo "FAIL: $1 missing from the package"
    fail=1
  fi
}
expect_field() {
  local value
  value=$(dpkg-deb -f "$deb" "$1")
  if ! grep -Eq "$2" <<<"$value"; then
    echo "FAIL: control field $1 is '$value', expected /$2/"
    fail=1
  fi
}

expect_file usr/lib/udev/rules.d/60-vexo3.rules
expect_file usr/share/doc/vexo3/copyright
expect_file usr/share/doc/vexo3/changelog.gz
if [ "$have_cli" = 1 ]; then
  expect_file usr/bin/vexo3
  expect_file usr/share/man/man1/vexo3.1.gz
  expect_file usr/share/doc/vexo3/README.md
  expect_file usr/share/bash-completion/completions/vexo3
fi
if [ "$have_gui" = 1 ]; then
  expect_file usr/bin/vexo3-updater
  expect_file usr/share/man/man1/vexo3-updater.1.gz
  expect_file usr/share/applications/vexo3-updater.desktop
  if ! grep -Eq ' \./usr/share/(icons/hicolor/scalable/apps/vexo3-updater\.svg|pixmaps/vexo3-updater\.png)$' <<<"$contents"; then
    echo "FAIL: the dialog's icon is missing from the package"
    fail=1
  fi
fi

expect_field Package '^vexo3$'
expect_field Version '^1\.2\.0$'
expect_field Section '^utils$'
expect_field Maintainer '.+<.+@.+>'
expect_field Description '^Firmware updater for Vexo-3 devices'
# Filled in by dpkg-shlibdeps from the programs' libraries.
if [ "$have_cli" = 1 ] || [ "$have_gui" = 1 ]; then
  expect_field Depends 'libc6'
fi
if [ "$have_cli" = 1 ]; then
  expect_field Depends 'libftdi1'
fi

x="$scratch/x"
mkdir -p "$x"
dpkg-deb -x "$deb" "$x"
rule="$x/usr/lib/udev/rules.d/60-vexo3.rules"
for needle in 'ATTRS{idVendor}=="0403"' 'ATTRS{idProduct}=="6015"' 'TAG+="uaccess"' \
  'ENV{ID_MM_DEVICE_IGNORE}="1"'; do
  if ! grep -F -q "$needle" "$rule"; then
    echo "FAIL: the udev rule lacks $needle"
    fail=1
  fi
done
doc="$x/usr/share/doc/vexo3"
if ! head -1 "$doc/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
  ! grep -q '^License: Expat$' "$doc/copyright" ||
  ! grep -q '^Copyright: 2026 The Vexo-3 updater developers$' "$doc/copyright"; then
  echo "FAIL: the copyright file is not the MIT licence in Debian's copyright format"
  fail=1
fi
if ! zcat "$doc/changelog.gz" | head -1 | grep -q '^vexo3 (1\.2\.0) '; then
  echo "FAIL: the changelog's newest entry is not for 1.2.0"
  fail=1
fi
if [ "$have_cli" = 1 ]; then
  if ! "$x/usr/bin/vexo3" --version | grep -q '1\.2\.0'; then
    echo "FAIL: the packaged vexo3 doesn't report version 1.2.0"
    fail=1
  fi
  if ! zcat "$x/usr/share/man/man1/vexo3.1.gz" | grep -q '^\.TH VEXO3 1'; then
    echo "FAIL: the man page has no .TH header"
    fail=1
  fi
fi
if [ "$have_gui" = 1 ]; then
  if ! grep -q '^Exec=vexo3-updater' "$x/usr/share/applications/vexo3-updater.desktop"; then
    echo "FAIL: the desktop entry doesn't start vexo3-updater"
    fail=1
  fi
fi

[ "$fail" = 0 ] && echo "package contents ok"
exit "$fail"
