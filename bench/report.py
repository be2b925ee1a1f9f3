#!/usr/bin/env python3
"""Medians of RESULT lines and the comparisons the issues ask for."""
import statistics, sys
from collections import defaultdict

runs = defaultdict(list)
for line in open(sys.argv[1]):
    parts = line.split()
    if len(parts) < 2 or parts[0] != "RESULT":
        continue
    kv = {}
    for p in parts[2:]:
        if "=" in p:
            k, v = p.split("=", 1)
            try:
                kv[k] = float(v)
            except ValueError:
                pass
    runs[parts[1]].append(kv)

def med(name, key):
    vals = [r[key] for r in runs.get(name, []) if key in r]
    return statistics.median(vals) if vals else float("nan")

rows = [
    ("engine msgs/s, 64 B QoS 1", "engine_tput_64_qos1", "msgs_s", "mqtt_tput_64B_qos1", "msgs_s", "higher", 0.8),
    ("engine msgs/s, 1 KiB QoS 1", "engine_tput_1024_qos1", "msgs_s", "mqtt_tput_1024B_qos1", "msgs_s", "higher", 0.8),
    ("engine round trip p50 us, 16 B", "engine_rtt_16B_qos1", "p50_us", "mqtt_rtt_16B_qos1_nodelay", "p50_us", "lower", None),
    ("engine round trip p99 us, 16 B", "engine_rtt_16B_qos1", "p99_us", "mqtt_rtt_16B_qos1_nodelay", "p99_us", "lower", 1.25),
    ("1,000 DTUs online, s", "engine_conns_1000", "sec", "mqtt_conns_1000", "connect_s", "lower", None),
    ("1,000 DTUs, client RSS MiB", "engine_conns_1000", "rss_MiB", "mqtt_conns_1000", "client_rss_MiB", "lower", None),
    ("5,000 DTUs online, s (target < 2 s)", "engine_conns_5000", "sec", "mqtt_conns_5000", "connect_s", "lower", None),
    ("5,000 DTUs, client RSS MiB", "engine_conns_5000", "rss_MiB", "mqtt_conns_5000", "client_rss_MiB", "lower", None),
    ("bridge MiB/s, 1 KiB QoS 1", "bridge_tput_1024_qos1", "MiB_s", "combined_tput_1024B_qos1", "MiB_s", "higher", 0.8),
    ("bridge one-way p50 us, 16 B", "bridge_lat_16B_qos1", "p50_us", "combined_lat_16B_qos1_nodelay", "p50_us", "lower", None),
    ("bridge one-way p99 us, 16 B", "bridge_lat_16B_qos1", "p99_us", "combined_lat_16B_qos1_nodelay", "p99_us", "lower", 1.25),
    ("bridge round trip p50 us, 16 B", "bridge_rtt_16B_qos1", "p50_us", "combined_rtt_16B_qos1_nodelay", "p50_us", "lower", None),
    ("bridge round trip p99 us, 16 B", "bridge_rtt_16B_qos1", "p99_us", "combined_rtt_16B_qos1_nodelay", "p99_us", "lower", 1.25),
]
print(f"{'measure':40} {'ours':>11} {'baseline':>11} {'ratio':>7}  target")
for label, on, ok, bn, bk, better, target in rows:
    o, b = med(on, ok), med(bn, bk)
    ratio = o / b if b else float("nan")
    t = ""
    if target:
        t = f">= {target}x" if better == "higher" else f"<= {target}x"
        met = ratio >= target if better == "higher" else ratio <= target
        t += " ok" if met else " MISSED"
    print(f"{label:40} {o:11.1f} {b:11.1f} {ratio:7.2f}  {t}")
print()
print(f"socat bridge (direct pty<->tcp): tcp->pty {med('socat_tput_tcp2pty','MiB_s'):.1f} MiB/s, "
      f"rtt p50 {med('socat_rtt_16B','p50_us'):.1f} us p99 {med('socat_rtt_16B','p99_us'):.1f} us")
print(f"bridge: lost {med('bridge_tput_1024_qos1','lost_B'):.0f} B, dropped at port {med('bridge_tput_1024_qos1','dropped_at_port_B'):.0f} B, "
      f"console CPU {med('bridge_tput_1024_qos1','console_cpu_s_per_10k'):.3f} s per 10,000 packets "
      f"({med('bridge_tput_1024_qos1','console_us_per_msg'):.1f} us/packet; combined {med('combined_tput_1024B_qos1','console_us_per_msg'):.1f})")
print(f"5,000 DTUs: peak {med('engine_conns_5000','peak_MiB'):.1f} MiB, {med('engine_conns_5000','KiB_per_session'):.2f} KiB per session")
b = runs.get("engine_busy_1000", [{}])[-1]
print(f"1,000 busy sessions x 300 packets: RSS {b.get('rss_MiB', float('nan')):.1f} MiB, slab growth {b.get('slab_growth_MiB', float('nan')):.1f} MiB, "
      f"unix sockets held {b.get('unix_sockets', float('nan')):.0f}")
s = runs.get("mq_sockpair", [{}])[-1]
print(f"bare libmosquitto (baseline probe), one session after 5,000 publishes: {s.get('unread_bytes', float('nan')):.0f} unread wake-up bytes, "
      f"{s.get('kernel_bytes', float('nan')):.0f} B kernel")
