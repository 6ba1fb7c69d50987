#!/usr/bin/env python3
"""Times shell commands side by side: runs them in turn, round after round, and prints the best
wall time of each in seconds, one a line, in the order given. Taking turns spreads the load that
other work puts on the machine over all of them alike; the best of the rounds is the run that
was disturbed least.

    side_by_side.py ROUNDS COMMAND...

Each COMMAND runs under "bash -c" (so every one pays the same few milliseconds for the shell)
with its output thrown away; one that fails stops the timing.
A COMMAND of the form "SETUP ;; TIMED" runs SETUP untimed before each timed run of TIMED, for
example to give each run a fresh simulated terminal.
"""
import subprocess
import sys
import time


def run(command: str) -> None:
    subprocess.run(["bash", "-c", command], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def main() -> int:
    rounds = int(sys.argv[1])
    commands = sys.argv[2:]
    best = [float("inf")] * len(commands)
    for _ in range(rounds):
        for i, command in enumerate(commands):
            setup, _, timed = command.rpartition(" ;; ")
            if setup:
                run(setup)
            start = time.perf_counter()
            run(timed)
            best[i] = min(best[i], time.perf_counter() - start)
    for seconds in best:
        print(f"{seconds:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
