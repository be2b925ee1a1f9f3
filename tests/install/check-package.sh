#!/usr/bin/env bash
# Builds the two packages from a build tree, holds them to lintian (no error, no warning) and
# to systemd-analyze security (3.0 or better), then, as root, installs them as an administrator
# would, runs the service as its unit does (its user, its folders), and purges them.
#   check-package.sh BUILD_DIR
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; fail "cpack"; }
service=$out/dtuconsoled_*_amd64.deb window=$out/dtuconsole_*_amd64.deb
service=$(echo $service) window=$(echo $window)
[ -f "$service" ] && [ -f "$window" ] || fail "packages missing: $(ls "$out")"
ls "$out"/dtuconsoled-dbgsym_*.ddeb "$out"/dtuconsole-dbgsym_*.ddeb >/dev/null || fail "no -dbgsym packages"

# The service's package needs no GUI library; the window's depends on the service's.
deps=$(dpkg-deb -f "$service" Depends)
if echo "$deps" | grep -Eq 'libqt6(gui|widgets|charts)'; then fail "dtuconsoled depends on GUI libraries: $deps"; fi
echo "$deps" | grep -q 'libqt6sql6-sqlite' || fail "libqt6sql6-sqlite is not a dependency: $deps"
dpkg-deb -f "$window" Depends | grep -q 'dtuconsoled (= ' || fail "dtuconsole does not depend on dtuconsoled"
files=$(dpkg-deb -c "$service")
for p in dtuconsoled dtudb dtusim dtucap; do
  grep -q "usr/share/man/man1/$p.1.gz" <<<"$files" || fail "no man page for $p"
done
grep -q "usr/share/man/man1/dtuconsole.1.gz" <<<"$(dpkg-deb -c "$window")" || fail "no man page for dtuconsole"
dpkg-deb -x "$service" "$out/x"
file "$out/x/usr/bin/dtuconsoled" | grep -q ', stripped' || fail "dtuconsoled is not stripped"

lint=$(lintian --tag-display-limit 0 "$service" "$window" 2>&1 | grep -v 'running with root privileges' || true)
if [ -n "$lint" ]; then echo "$lint"; fail "lintian"; fi

score=$(systemd-analyze security --offline=yes "$out/x/lib/systemd/system/dtuconsoled.service" 2>/dev/null |
        sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
[ -n "$score" ] || fail "no systemd-analyze security score"
awk -v s="$score" 'BEGIN { exit !(s <= 3.0) }' || fail "exposure $score, above 3.0"
echo "lintian clean, exposure $score"

if [ "$(id -u)" != 0 ]; then echo "not root: install, run and purge left out"; exit 0; fi
if dpkg-query -W dtuconsoled >/dev/null 2>&1 || getent passwd dtuconsole >/dev/null; then
  echo "a dtuconsoled is installed here already: install, run and purge left out"; exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends "$service" "$window" >"$out/apt.log" 2>&1 || { cat "$out/apt.log"; fail "install"; }
cleanup() {
  pkill -u dtuconsole dtuconsoled 2>/dev/null || true
  apt-get purge -y -q dtuconsole dtuconsoled >/dev/null 2>&1 || true
  rm -rf "$out"
}
trap cleanup EXIT
getent passwd dtuconsole >/dev/null || fail "no dtuconsole user"
[ "$(stat -c %U:%G:%a /var/lib/dtuconsole)" = dtuconsole:dtuconsole:750 ] || fail "/var/lib/dtuconsole: $(stat -c %U:%G:%a /var/lib/dtuconsole)"
[ "$(stat -c %U:%G:%a /etc/dtuconsole/ftdb.ini)" = root:dtuconsole:640 ] || fail "ftdb.ini: $(stat -c %U:%G:%a /etc/dtuconsole/ftdb.ini)"
[ -L /etc/systemd/system/multi-user.target.wants/dtuconsoled.service ] || fail "the unit is not enabled"

# The service as its unit runs it: its user, /run/dtuconsole 0750, XDG_RUNTIME_DIR=/run, the
# table made by its user as the README says.
(cd / && runuser -u dtuconsole -- dtudb init >/dev/null) || fail "dtudb init as dtuconsole"
(cd / && runuser -u dtuconsole -- dtudb add 0000000000000001 123456 >/dev/null) || fail "dtudb add"
install -d -o dtuconsole -g dtuconsole -m 0750 /run/dtuconsole
(cd / && XDG_RUNTIME_DIR=/run runuser -u dtuconsole -- dtuconsoled --config /etc/dtuconsole >"$out/service.log" 2>&1 &)
for _ in $(seq 100); do [ -L /run/dtuconsole/ports/COM3 ] && break; sleep 0.1; done
[ -L /run/dtuconsole/ports/COM3 ] || { cat "$out/service.log"; fail "no port link"; }
[ "$(stat -c %G:%a /run/dtuconsole/ports)" = dtuconsole:750 ] || fail "ports folder: $(stat -c %G:%a /run/dtuconsole/ports)"
[ "$(stat -L -c %G:%a /run/dtuconsole/ports/COM3)" = dtuconsole:660 ] || fail "terminal: $(stat -L -c %G:%a /run/dtuconsole/ports/COM3)"
pkill -TERM -u dtuconsole dtuconsoled
for _ in $(seq 100); do pgrep -u dtuconsole dtuconsoled >/dev/null || break; sleep 0.1; done
grep -q '启动成功' "$out/service.log" || { cat "$out/service.log"; fail "the service did not start"; }

apt-get purge -y -q dtuconsole dtuconsoled >"$out/apt.log" 2>&1 || { cat "$out/apt.log"; fail "purge"; }
! getent passwd dtuconsole >/dev/null || fail "the dtuconsole user outlived the purge"
[ ! -e /var/lib/dtuconsole ] || fail "/var/lib/dtuconsole outlived the purge"
[ ! -e /etc/systemd/system/multi-user.target.wants/dtuconsoled.service ] || fail "the enablement link outlived the purge"
[ ! -e /etc/dtuconsole/ftdb.ini ] || fail "/etc/dtuconsole outlived the purge"
rm -rf /run/dtuconsole
echo "installed, ran as the unit does, purged"
