#!/bin/sh
# Installs the build tree into a scratch root and builds the .deb, then checks
# what lands where. Usage: install_check.sh BUILD_DIR
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >/dev/null
root="$scratch/root/usr"
for f in bin/qorvel bin/qorvelctl bin/qorvel-smsc-sim share/dbus-1/interfaces/Qorvel.AutoEMI.xml \
         share/dbus-1/services/Qorvel.AutoEMI.service share/applications/qorvel.desktop \
         share/icons/hicolor/scalable/apps/qorvel.svg; do
  [ -e "$root/$f" ] || { echo "missing: $f"; exit 1; }
done
grep -qx 'Exec=/usr/bin/qorvel /AUTOMATION' "$root/share/dbus-1/services/Qorvel.AutoEMI.service" ||
  { echo "wrong Exec:"; cat "$root/share/dbus-1/services/Qorvel.AutoEMI.service"; exit 1; }
grep -q '<interface name="Qorvel.IAutoEMIEvents">' "$root/share/dbus-1/interfaces/Qorvel.AutoEMI.xml"

# The simulator's manual page has an entry for every option its --help lists.
sim=$root/bin/qorvel-smsc-sim
"$sim" --help | grep -q '^usage: qorvel-smsc-sim ' || { echo "qorvel-smsc-sim --help names another program"; exit 1; }
entries=$(gzip -dc "$root/share/man/man1/qorvel-smsc-sim.1.gz" | sed 's/\\-/-/g' |
          awk 'previous == ".TP" && /^\.B/ { print } { previous = $0 }')
for option in $("$sim" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
  echo "$entries" | grep -qE -- "$option( |\"|\$)" || { echo "qorvel-smsc-sim.1 lacks $option"; exit 1; }
done

if command -v dpkg-shlibdeps >/dev/null; then
  (cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >/dev/null)
  deb=$(ls "$scratch"/pkg/qorvel_*.deb)
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: $depends"
  for p in libqt6widgets6 libqt6dbus6 qt6-qpa-plugins; do
    echo "$depends" | grep -q "$p" || { echo "no dependency on $p"; exit 1; }
  done
  dpkg-deb -c "$deb" | grep -q './usr/share/dbus-1/services/Qorvel.AutoEMI.service'
  for f in doc/qorvel/copyright doc/qorvel/changelog.gz man/man1/qorvel.1.gz \
           man/man1/qorvelctl.1.gz man/man1/qorvel-smsc-sim.1.gz; do
    dpkg-deb -c "$deb" | grep -q "./usr/share/$f" || { echo "not in the package: $f"; exit 1; }
  done
  # Debian's package checker: no error and no warning. The hardening tags
  # depend on the build's optimisation (fortified calls need -O), so they
  # are the release build's to check, not a test build's.
  if command -v lintian >/dev/null; then
    findings=$(lintian "$deb" 2>&1 | grep -E '^(E|W): ' | grep -v ' hardening-' || true)
    [ -z "$findings" ] || { echo "lintian:"; echo "$findings"; exit 1; }
  fi
fi
echo "install layout ok"
