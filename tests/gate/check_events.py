#!/usr/bin/env python3
"""Checks what a consumer of the gateway received, as every consumer could:

    check_events.py [--topics] --readers door-1,door-2 [--ids FILE]
                    [--store DB] EVENTS...

EVENTS are files of JSON lines (the gateway's standard output), or with
--topics of "TOPIC PAYLOAD" lines (mosquitto_sub -v).  The check fails when
a line is not a JSON object with the event's fields, when a reader's seq
has a gap (duplicates are allowed if they are the same event), when a
reader named is missing, when an identity of --ids (one hex identity a
line) did not arrive from every reader, or, with --store, when the store
gave a reader a seq beyond what arrived or still holds events.  Prints one
line a reader: "door-1: 1..412 (3 duplicates)".
"""
import argparse
import json
import sqlite3
import sys

FIELDS = {"gateway", "reader", "seq", "time", "id", "id_bits", "words", "counts", "value"}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--topics", action="store_true")
    ap.add_argument("--readers", required=True)
    ap.add_argument("--ids")
    ap.add_argument("--store")
    ap.add_argument("--gateway")
    ap.add_argument("events", nargs="+")
    a = ap.parse_args()

    problems = []
    seen = {}          # reader -> {seq: event}
    duplicates = {}
    for path in a.events:
        with open(path, "rb") as f:
            for n, raw in enumerate(f, 1):
                line = raw.rstrip(b"\n")
                if not line:
                    continue
                topic = None
                if a.topics:
                    topic, _, line = line.partition(b" ")
                    topic = topic.decode("utf-8", "replace")
                    if not topic.endswith("/tags"):
                        continue
                try:
                    ev = json.loads(line.decode("utf-8"))
                except (UnicodeDecodeError, ValueError) as e:
                    problems.append(f"{path}:{n}: not JSON: {e}")
                    continue
                if not isinstance(ev, dict) or set(ev) != FIELDS:
                    problems.append(f"{path}:{n}: fields {sorted(ev) if isinstance(ev, dict) else ev!r}")
                    continue
                if a.gateway and ev["gateway"] != a.gateway:
                    problems.append(f"{path}:{n}: gateway {ev['gateway']!r}")
                if topic is not None and topic.split("/")[-2] != ev["reader"]:
                    problems.append(f"{path}:{n}: reader {ev['reader']!r} on topic {topic!r}")
                got = seen.setdefault(ev["reader"], {})
                if ev["seq"] in got:
                    if got[ev["seq"]] != ev:
                        problems.append(f"{path}:{n}: {ev['reader']} seq {ev['seq']} came twice, different")
                    duplicates[ev["reader"]] = duplicates.get(ev["reader"], 0) + 1
                got[ev["seq"]] = ev

    ids = set()
    if a.ids:
        with open(a.ids) as f:
            ids = {l.split()[0].split("/")[0].upper() for l in f if l.strip() and not l.startswith("#")}
    last = {}
    if a.store:
        db = sqlite3.connect(a.store)
        last = dict(db.execute("SELECT reader, last FROM sequence"))
        left = db.execute("SELECT COUNT(*) FROM events").fetchone()[0]
        if left:
            problems.append(f"the store still holds {left} events")

    for reader in a.readers.split(","):
        got = seen.get(reader, {})
        if not got:
            problems.append(f"{reader}: no event")
            continue
        top = max(got)
        missing = [s for s in range(1, top + 1) if s not in got]
        if missing:
            problems.append(f"{reader}: {len(missing)} seq missing, first {missing[:5]}")
        if reader in last and last[reader] != top:
            problems.append(f"{reader}: the store gave seq up to {last[reader]}, {top} arrived")
        absent = ids - {e["id"] for e in got.values()}
        if absent:
            problems.append(f"{reader}: {len(absent)} identities never arrived, e.g. {sorted(absent)[:3]}")
        print(f"{reader}: 1..{top} ({duplicates.get(reader, 0)} duplicates)")
    for p in problems[:20]:
        print("PROBLEM:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
