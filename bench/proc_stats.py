"""CPU time of a running process, from /proc, for the benchmark scripts."""

import os


def process_cpu_seconds(pid):
    """utime + stime of one process (all its threads) from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

