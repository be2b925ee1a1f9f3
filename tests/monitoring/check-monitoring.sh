#!/usr/bin/env bash
# The alerting rules pass promtool and their own unit tests; every metric the rules and the
# Grafana dashboard name is one the service really serves, and what it serves passes
# promtool's lint.
#   check-monitoring.sh SOURCE_DIR BIN_DIR
set -euo pipefail
src=$1 bin=$2
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

promtool check rules "$src/dist/prometheus/dtuconsole-alerts.yml"
(cd "$src/tests/monitoring" && promtool test rules alerts-test.yml)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[LINK]\nPort=1\n[VPORT]\nDir=%s/ports\n[LISTENER]\nPort=0\n[STATUS]\nListen=127.0.0.1:%s\n' "$work" "$port" > "$work/center.ini"
printf 'Provider=SQLite;Data Source=%s/dtu.db' "$work" > "$work/ftdb.ini"
(cd "$work" && "$bin/dtudb" init >/dev/null && "$bin/dtudb" add 0000000000000001 123456 >/dev/null)
"$bin/dtuconsoled" --config "$work" 2>"$work/service.log" &
pid=$!
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$port/metrics" -o "$work/metrics" && grep -q '^dtu_online' "$work/metrics" && break; sleep 0.1; done
grep -q '^dtu_online' "$work/metrics" || { cat "$work/service.log"; fail "no /metrics"; }
promtool check metrics < "$work/metrics" || fail "promtool check metrics"

served=$(sed -n 's/^# TYPE \([a-z_]*\) .*/\1/p' "$work/metrics" | sort -u)
named=$( (grep -h 'expr:' "$src/dist/prometheus/dtuconsole-alerts.yml";
          python3 -c 'import json,sys
d=json.load(open(sys.argv[1]))
for p in d["panels"]:
    for t in p.get("targets", []): print(t["expr"])
for v in d["templating"]["list"]: print(v.get("query", ""))' "$src/dist/grafana/dtuconsole-dashboard.json") |
        grep -oE '\b(dtu|dtuconsole)_[a-z_]+' | sort -u)
missing=$(comm -23 <(echo "$named") <(echo "$served"))
[ -z "$missing" ] || fail "named but not served: $missing"
echo "rules and dashboard use $(echo "$named" | wc -l) metrics, all served"
