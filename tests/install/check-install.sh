#!/usr/bin/env bash
# Installs the build into a scratch root as a package would, checks the layout and has
# systemd check the unit (with its ExecStart pointed at the scratch copy).
#   check-install.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
for f in usr/bin/dtuconsole usr/bin/dtuconsoled usr/bin/dtudb usr/bin/dtusim etc/dtuconsole/center.ini \
         etc/dtuconsole/ftdb.ini usr/share/applications/dtuconsole.desktop \
         usr/share/icons/hicolor/scalable/apps/dtuconsole.svg lib/systemd/system/dtuconsoled.service; do
  [ -e "$root/$f" ] || { echo "missing: /$f"; exit 1; }
done
# Every key of the example is commented out, so the example is the defaults, but for the idle
# listener, which the package switches off, and the ports' group.
if grep -Ev '^\s*(;|\[|$)' "$root/etc/dtuconsole/center.ini" | grep -vxE 'Port=0|Group=dtuconsole'; then echo "center.ini sets a key"; exit 1; fi
"$root/usr/bin/dtuconsoled" --version | grep -q '^dtuconsoled '
unit=$root/dtuconsoled.service
sed "s|^ExecStart=/usr/bin/dtuconsoled|ExecStart=$root/usr/bin/dtuconsoled|" "$root/lib/systemd/system/dtuconsoled.service" > "$unit"
out=$(systemd-analyze verify "$unit" 2>&1 | grep -v 'sysinit.target not found' || true)
if [ -n "$out" ]; then echo "$out"; exit 1; fi
grep -q '^Type=notify$' "$unit"
echo "install layout and unit ok"
