#!/usr/bin/env python3
"""What the subscriber of bench/gate_bench.sh received in a window of time.

usage: gate_measure.py FILE START END [FILE START END]...

FILE holds one line per message as `mosquitto_sub -F '%U %p'` writes it:
the arrival (Unix time with fractions), a space, the event's JSON.  START
and END (Unix times) bound its window.  Several runs are pooled.  Prints
KEY=VALUE lines for the shell:

  events     messages that arrived in the windows
  rate       events per second over the windows
  p50, p99   the time from an event's drain ("time", milliseconds) to its
             arrival, in milliseconds: median and 99th percentile
  max        the longest of those times
  missing    numbers (seq) that no message carried, between the lowest and
             the highest each reader's messages carried, over the whole file
  repeated   messages whose reader and seq came before (published again)
  readers    how many readers had events in the window
"""

import calendar
import re
import sys

EVENT = re.compile(r'"reader":"([^"]*)","seq":(\d+),"time":"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.(\d{3})Z"')


def main(argv):
    if len(argv) < 4 or (len(argv) - 1) % 3:
        sys.stderr.write(__doc__)
        return 2
    seconds_of = {}      # "YYYY-MM-DDTHH:MM:SS" -> Unix seconds
    latencies = []
    missing = repeated = 0
    span = 0.0
    readers_in_window = set()
    for i in range(1, len(argv), 3):
        path, start, end = argv[i], float(argv[i + 1]), float(argv[i + 2])
        span += end - start
        seen = {}        # reader -> set of seq
        repeated += read(path, start, end, seconds_of, latencies, seen, readers_in_window)
        missing += sum(max(s) - min(s) + 1 - len(s) for s in seen.values() if s)
    latencies.sort()

    def quantile(q):
        if not latencies:
            return float("nan")
        return latencies[min(len(latencies) - 1, int(q * len(latencies)))]

    n = len(latencies)
    print(f"events={n}")
    print(f"rate={n / span if span > 0 else 0:.0f}")
    print(f"p50={quantile(0.50):.1f}")
    print(f"p99={quantile(0.99):.1f}")
    print(f"max={latencies[-1] if latencies else float('nan'):.1f}")
    print(f"missing={missing}")
    print(f"repeated={repeated}")
    print(f"readers={len(readers_in_window)}")
    return 0


def read(path, start, end, seconds_of, latencies, seen, readers_in_window):
    """Adds one run's figures; returns how many messages repeated one before."""
    repeated = 0
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            arrival_text, _, payload = line.partition(" ")
            m = EVENT.search(payload)
            if not m:
                continue
            try:
                arrival = float(arrival_text)
            except ValueError:
                continue
            reader, seq = m.group(1), int(m.group(2))
            numbers = seen.setdefault(reader, set())
            if seq in numbers:
                repeated += 1
            numbers.add(seq)
            if not start <= arrival < end:
                continue
            second = seconds_of.get(m.group(3))
            if second is None:
                second = calendar.timegm(tuple(int(x) for x in re.split(r"[-T:]", m.group(3))) + (0, 0, 0))
                seconds_of[m.group(3)] = second
            drained = second + int(m.group(4)) / 1000.0
            latencies.append((arrival - drained) * 1000.0)
            readers_in_window.add(reader)
    return repeated


if __name__ == "__main__":
    sys.exit(main(sys.argv))
