#!/usr/bin/env bash
# check_package.sh <build dir> <scratch dir>: builds the Debian package of
# the build tree, unpacks it into the scratch directory and checks its
# files, the libraries' search paths, the unit and the maintainer scripts.
set -uo pipefail
build=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch/out"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$scratch"/out/*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || { echo "FAIL: no .deb in $scratch/out"; exit 1; }
root=$scratch/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x"; exit 1; }
dpkg-deb -e "$deb" "$scratch/control" || { echo "FAIL: dpkg-deb -e"; exit 1; }

[ "$(dpkg-deb -f "$deb" Package)" = kavex-opc ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = 10.4.0 ] || fail "package version"

for f in usr/sbin/kavex-opc-server usr/bin/regsvr usr/bin/kavex-reg \
         usr/bin/velto-sim usr/bin/kavex-live usr/bin/kavex-opc-account \
         usr/bin/kavex-opc-client \
         usr/bin/tapdump usr/bin/batchcap usr/bin/rxprobe usr/bin/netroster \
         usr/bin/sendprobe usr/lib/kavex-opc/svcstop; do
  [ -x "$root/$f" ] || fail "missing program $f"
done
for f in libkavex-opc-device.so libkavex-simulated-adapters.so libpkiolib.so \
         libxdomlib.so libkavex_com.so libkavex-service.so; do
  [ -f "$root/usr/lib/kavex-opc/$f" ] || fail "missing library $f"
done
[ -f "$root/etc/kavex-opc/Kavex OPC.xml" ] || fail "missing example configuration"
# The model catalog beside the configuration, where the configurator looks.
catalog=$(dirname "$0")/../configurator/Switches.xml
cmp -s "$root/etc/kavex-opc/Switches.xml" "$catalog" ||
  fail "the model catalog is not /etc/kavex-opc/Switches.xml"
if find "$root" -name Switches.xml | grep -vq "^$root/etc/kavex-opc/Switches.xml\$"; then
  fail "a model catalog elsewhere: $(find "$root" -name Switches.xml)"
fi

# The configurator, when the tree built it (Qt 6 found): the program, its
# desktop entry and icon, CAP_NET_RAW from postinst, and a search path that
# holds in secure-execution mode (a file capability), where $ORIGIN does not.
if [ -x "$build/bin/veltoopc" ]; then
  [ -x "$root/usr/bin/veltoopc" ] || fail "missing program usr/bin/veltoopc"
  desktop=$root/usr/share/applications/veltoopc.desktop
  if [ -f "$desktop" ]; then
    for line in '[Desktop Entry]' 'Type=Application' 'Name=VeltoOPC' \
                'Exec=veltoopc' 'Icon=veltoopc' 'Terminal=false'; do
      grep -qxF -- "$line" "$desktop" || fail "desktop entry lacks: $line"
    done
  else
    fail "missing desktop entry"
  fi
  icon=$root/usr/share/icons/hicolor/scalable/apps/veltoopc.svg
  if [ -f "$icon" ]; then
    grep -q '<svg' "$icon" || fail "icon is not an SVG"
  else
    fail "missing icon"
  fi
  readelf -d "$root/usr/bin/veltoopc" 2>/dev/null |
    grep -q 'R\(UN\)\?PATH.*\[/usr/lib/kavex-opc[;:]' ||
    fail "veltoopc's search path does not start with /usr/lib/kavex-opc"
  grep -q 'libqt6widgets6' <<<"$(dpkg-deb -f "$deb" Depends)" ||
    fail "package does not depend on Qt 6 Widgets"
  version=$(env -u LD_LIBRARY_PATH "$root/usr/bin/veltoopc" --version 2>&1)
  [ "$version" = "veltoopc 10.4.0" ] || fail "veltoopc --version: $version"
  # As installed: with CAP_NET_RAW, started by an unprivileged user, its
  # libraries at their packaged path (an overlay on /usr/lib in a private
  # mount namespace; needs root, skipped otherwise).
  if [ "$(id -u)" -eq 0 ] && command -v setcap >/dev/null &&
     command -v setpriv >/dev/null && command -v unshare >/dev/null; then
    capped=$(mktemp -d /tmp/kavex-capped-XXXXXX)
    chmod 0755 "$capped"
    cp "$root/usr/bin/veltoopc" "$capped/veltoopc"
    libs=$capped/lib
    cp -r "$root/usr/lib" "$libs"
    chmod -R a+rX "$libs"
    setcap cap_net_raw+ep "$capped/veltoopc"
    got=$(unshare -m sh -c 'mount --make-rprivate / &&
      mount -t overlay overlay -o "lowerdir=$1:/usr/lib" /usr/lib || exit 99
      exec setpriv --reuid=65534 --regid=65534 --clear-groups "$2" --version' \
      sh "$libs" "$capped/veltoopc" 2>&1); rc=$?
    if [ "$rc" -eq 99 ]; then
      echo "note: no overlay mount here; veltoopc not run with its capability"
    elif [ "$got" != "veltoopc 10.4.0" ]; then
      fail "veltoopc with CAP_NET_RAW, run by another user: $got"
    fi
    rm -rf "$capped"
  fi
fi
[ -d "$root/etc/kavex-opc/registry" ] || fail "missing registry root"

# Owner and mode as the package records them (dpkg-deb -x keeps neither).
listing=$(dpkg-deb -c "$deb")
grep -Eq '^drwxr-xr-x root/root .* \./etc/kavex-opc/registry/$' <<<"$listing" ||
  fail "registry root not root-owned 0755: $(grep registry/ <<<"$listing")"
if grep -Ev '^[^ ]+ root/root ' <<<"$listing" | grep -q .; then
  fail "files not owned by root: $(grep -Ev '^[^ ]+ root/root ' <<<"$listing")"
fi

# Search paths relative to the install, never the build tree.
for f in "$root"/usr/sbin/* "$root"/usr/bin/* "$root"/usr/lib/kavex-opc/*; do
  dyn=$(readelf -d "$f" 2>/dev/null)
  if grep -q "$build" <<<"$dyn"; then fail "$f names the build tree"; fi
  if grep -q NEEDED <<<"$dyn" && grep -q 'libkavex\|libpkiolib\|libxdomlib' <<<"$dyn"; then
    grep -q 'R\(UN\)\?PATH.*\$ORIGIN' <<<"$dyn" || fail "$f has no \$ORIGIN RUNPATH"
  fi
done
# The unpacked programs run from their own libraries.
version=$(env -u LD_LIBRARY_PATH "$root/usr/sbin/kavex-opc-server" --version 2>&1)
[ "$version" = "kavex-opc-server 10.4.0" ] || fail "server --version: $version"
env -u LD_LIBRARY_PATH "$root/usr/lib/kavex-opc/svcstop" >/dev/null 2>&1 </dev/null ||
  fail "svcstop does not run from the package"

unit=$root/usr/lib/systemd/system/kavex-opc-server.service
if [ -f "$unit" ]; then
  for line in 'Description=Kavex OPC Server' 'Type=notify' \
              'ExecStart="/usr/sbin/kavex-opc-server"' 'DynamicUser=yes' \
              'AmbientCapabilities=CAP_NET_RAW' 'CapabilityBoundingSet=CAP_NET_RAW' \
              'NoNewPrivileges=yes' 'ProtectSystem=strict' 'ProtectHome=yes' \
              'ReadOnlyPaths=-/etc/kavex-opc' 'LogsDirectory=kavex-opc' \
              'WorkingDirectory=/var/log/kavex-opc' \
              'After=network.target kavex-opc-server.socket' \
              'Requires=kavex-opc-server.socket' 'Sockets=kavex-opc-server.socket' \
              'LoadCredential=accounts:/etc/kavex-opc/accounts'; do
    grep -qxF -- "$line" "$unit" || fail "unit lacks: $line"
  done
  if grep -q '^User=\|^Environment=' "$unit"; then fail "unit sets a user or environment"; fi
  # The server binds nothing privileged itself: the socket unit does.
  if grep -q 'CAP_NET_BIND_SERVICE' "$unit"; then fail "unit grants CAP_NET_BIND_SERVICE"; fi
else
  fail "missing unit"
fi
socket=$root/usr/lib/systemd/system/kavex-opc-server.socket
if [ -f "$socket" ]; then
  for line in 'ListenStream=127.0.0.1:135' 'ListenStream=127.0.0.1:4135' \
              'Service=kavex-opc-server.service' 'WantedBy=sockets.target'; do
    grep -qxF -- "$line" "$socket" || fail "socket unit lacks: $line"
  done
  # Loopback unless the administrator opens it.
  if grep -E '^ListenStream=' "$socket" | grep -vq '127\.0\.0\.1:'; then
    fail "socket unit listens beyond loopback: $(grep -E '^ListenStream=' "$socket")"
  fi
else
  fail "missing socket unit"
fi

ctl=$scratch/control
for s in postinst prerm postrm; do
  [ -x "$ctl/$s" ] || fail "$s missing or not executable"
  sh -n "$ctl/$s" || fail "$s is not valid sh"
done
grep -q '/usr/bin/regsvr /s /usr/lib/kavex-opc/libkavex-opc-device.so' "$ctl/postinst" ||
  fail "postinst does not register the device module"
grep -q '/usr/sbin/kavex-opc-server /Service' "$ctl/postinst" ||
  fail "postinst does not install the service"
grep -q 'unset KAVEX_REGISTRY_ROOT KAVEX_SERVICE_MANAGER' "$ctl/postinst" ||
  fail "postinst does not use the system registry"
if [ -x "$build/bin/veltoopc" ]; then
  grep -q 'setcap cap_net_raw+ep /usr/bin/veltoopc' "$ctl/postinst" ||
    fail "postinst does not give veltoopc CAP_NET_RAW"
fi
# The service cannot start without the credential's file: postinst creates
# an empty one, root's and 0600, when there is none.
grep -q 'install -m 0600 -o root -g root /dev/null /etc/kavex-opc/accounts' "$ctl/postinst" ||
  fail "postinst does not create the accounts file root 0600"
grep -q 'systemctl enable --now kavex-opc-server.socket' "$ctl/postinst" ||
  fail "postinst does not enable the socket unit"
sockstop=$(grep -n 'systemctl stop kavex-opc-server.socket' "$ctl/prerm" | head -n1 | cut -d: -f1)
stop=$(grep -n '/usr/lib/kavex-opc/svcstop' "$ctl/prerm" | head -n1 | cut -d: -f1)
# A socket left listening would start the server again while it goes.
if [ -z "$sockstop" ] || [ -z "$stop" ] || [ "$sockstop" -ge "$stop" ]; then
  fail "prerm does not stop the socket unit before the service"
fi
unreg=$(grep -n '/usr/sbin/kavex-opc-server /UnregServer' "$ctl/prerm" | head -n1 | cut -d: -f1)
unmod=$(grep -n '/usr/bin/regsvr /u /s /usr/lib/kavex-opc/libkavex-opc-device.so' "$ctl/prerm" | head -n1 | cut -d: -f1)
if [ -z "$stop" ] || [ -z "$unreg" ] || [ -z "$unmod" ]; then
  fail "prerm lacks svcstop, /UnregServer or the module's unregistration"
elif [ "$stop" -ge "$unreg" ] || [ "$stop" -ge "$unmod" ]; then
  fail "prerm unregisters before it stops the service"
fi
# systemd would keep the removed units loaded until a reload.
grep -q 'systemctl daemon-reload' "$ctl/postrm" ||
  fail "postrm does not make systemd forget the removed units"
grep -qxF '/etc/kavex-opc/Kavex OPC.xml' "$ctl/conffiles" || fail "configuration not a conffile"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "package $deb: all checks passed"
