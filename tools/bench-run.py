"""Inside tools/bench: per exchange, the user-space instructions (callgrind) and the system calls
(strace) of each client, each from the difference of two run lengths so that start-up costs
cancel out."""
import collections
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "bench"
IFACE = os.environ["JOINTBUS_VCAN"]
SHORT, LONG = 200, 2200
MODULE_GOAL, OWN_SHARE_GOAL = 1800, 800
# The commands of the other control modes do the same work as a MIT command but for packing.
MODE_GOAL = 0.05
MODES = ("pos_vel", "vel", "force_pos")
PYTHON = "/usr/bin/python3.11"
CLOCK_CALLS = {"clock_gettime", "clock_gettime64", "gettimeofday", "time"}


def self_cost_by_object(path):
    """Instructions executed in each object file (its functions' own cost, without what they
    call), read from a callgrind output file."""
    names = {}  # compressed names: "(3) /usr/lib/x.so" defines 3, "(3)" refers to it
    current = None
    positions = 1
    skip_next = False  # the cost line after calls= is the callee's, not the caller's
    costs = collections.Counter()
    summary = None
    for line in path.read_text().splitlines():
        if line[:1].isdigit() or line[:1] in "+-*":
            if not skip_next:
                fields = line.split()
                costs[current] += int(fields[positions]) if len(fields) > positions else 0
            skip_next = False
            continue
        key, _, value = line.partition("=")
        if key in ("ob", "cob"):
            match = re.fullmatch(r"\((\d+)\)(?: (.*))?", value)
            name = value if match is None else names.setdefault(match[1], match[2])
            if key == "ob":
                current = name
        elif key == "calls":
            skip_next = True
        elif line.startswith("positions:"):
            positions = len(line.split()) - 1
        elif line.startswith("summary:"):
            summary = int(line.split()[1])
    # Every instruction belongs to exactly one object: if they do not add up to the total,
    # this reading of the file is wrong and no share can be trusted.
    if summary is None or sum(costs.values()) != summary:
        sys.exit(f"bench: cannot attribute instructions to objects in {path} "
                 f"(objects add up to {sum(costs.values())}, total {summary})")
    return costs


def instructions(command, env):
    """Instructions of one run: the total and those inside the module's shared object."""
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", "--dump-instr=no",
                        f"--callgrind-out-file={out}", *command],
                       check=True, capture_output=True, env=env)
        costs = self_cost_by_object(out)
    module = sum(n for name, n in costs.items()
                 if name and Path(name).name.startswith("jointbus.") and name.endswith(".so"))
    return sum(costs.values()), module


def system_calls(command, env):
    """System calls of one run (all threads), by name."""
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "strace.out"
        subprocess.run(["strace", "-f", "-c", "-o", str(out), "--", *command],
                       check=True, capture_output=True, env=env)
        calls = collections.Counter()
        for line in out.read_text().splitlines():
            # % time, seconds, usecs/call, calls, [errors], name
            fields = line.split()
            if len(fields) >= 5 and fields[3].isdigit() and fields[-1] != "total":
                calls[fields[-1]] += int(fields[3])
    return calls


def kernel_calls(calls):
    return round(sum(n for call, n in calls.items() if call not in CLOCK_CALLS), 2)


def with_count(command, n):
    """The command with its exchange count: in place of an empty argument, or last."""
    if "" in command:
        return [str(n) if arg == "" else arg for arg in command]
    return [*command, str(n)]


def per_exchange(command, env):
    span = LONG - SHORT
    (total_short, module_short), (total_long, module_long) = (
        instructions(with_count(command, n), env) for n in (SHORT, LONG))
    calls_short, calls_long = (system_calls(with_count(command, n), env) for n in (SHORT, LONG))
    calls_long.subtract(calls_short)
    calls = {name: n / span for name, n in calls_long.items() if abs(n / span) >= 0.01}
    return ((total_long - total_short) / span, (module_long - module_short) / span, calls)


def main():
    # A fixed hash seed: with a random one, the start-up of two runs differs by enough
    # instructions to move a per-exchange figure by dozens.
    env = dict(os.environ, PYTHONPATH=str(BUILD / "src"), PYTHONHASHSEED="0")
    clients = (
        ("C client, system calls only", [str(BUILD / "bench" / "c_client"), IFACE]),
        ("jointbus Damiao.mit_control",
         [PYTHON, str(ROOT / "bench" / "python_client.py"), IFACE]),
        ("python-can + Python codec",
         [PYTHON, str(ROOT / "bench" / "python_can_client.py"), IFACE]),
        ("Python socket + Python codec",
         [PYTHON, str(ROOT / "bench" / "python_socket_client.py"), IFACE]),
    ) + tuple((f"jointbus Damiao.{mode}_control",
               [PYTHON, str(ROOT / "bench" / "python_client.py"), IFACE, "", mode])
              for mode in MODES)
    with tempfile.TemporaryDirectory() as scratch:
        ready = Path(scratch) / "ready"
        sim = subprocess.Popen([str(BUILD / "sim" / "jointbus-virtual-motor"), "--iface", IFACE,
                                "--motor", "1:0x11:dm4310", "--ready-file", str(ready)])
        try:
            deadline = time.monotonic() + 10
            while not ready.exists():
                if time.monotonic() > deadline or sim.poll() is not None:
                    sys.exit("bench: the virtual motor did not start")
                time.sleep(0.01)
            results = {name: per_exchange(command, env) for name, command in clients}
        finally:
            sim.terminate()
            sim.wait()

    baseline = results[clients[0][0]][0]
    module, own, _ = results[clients[1][0]]
    if own <= 0:
        sys.exit("bench: no instructions were found inside the module's shared object")
    print(f"per exchange: differences of runs of {SHORT} and {LONG} exchanges, one virtual "
          f"DM4310 on {IFACE}")
    print("user-space instructions (callgrind); system calls (strace -c -f)\n")
    print("| client | instructions | relative to C | system calls | which |")
    print("|---|---:|---:|---:|---|")

    def row(name, count, calls):
        kernel = {call: n for call, n in calls.items() if call not in CLOCK_CALLS}
        which = ", ".join(f"{call} {n:g}" for call, n in
                          sorted(kernel.items(), key=lambda item: (-item[1], item[0])))
        clock = sum(n for call, n in calls.items() if call in CLOCK_CALLS)
        if clock:
            which += f"; clock_gettime {clock:g}"
        total = f"{sum(kernel.values()):g}" if calls else ""
        print(f"| {name} | {count:.0f} | {count / baseline:.1f}x | {total} | {which} |")

    for name, _ in clients:
        row(name, results[name][0], {k: round(v, 2) for k, v in results[name][2].items()})
        if name == clients[1][0]:
            row("of which inside jointbus.so", own, {})
    print("\nclock_gettime is a system call only under User Mode Linux; a real x86-64 kernel "
          "answers it\nin user space (vDSO), so the system call column leaves it out.")
    python_can = results[clients[2][0]]
    print()
    print(f"goal: module at most {MODULE_GOAL} instructions per exchange: {module:.0f} "
          f"({'met' if module <= MODULE_GOAL else 'MISSED'})")
    print(f"goal: its own share at most {OWN_SHARE_GOAL}: {own:.0f} "
          f"({'met' if own <= OWN_SHARE_GOAL else 'MISSED'})")
    for mode in MODES:
        cost = results[f"jointbus Damiao.{mode}_control"][0]
        met = "met" if cost <= module * (1 + MODE_GOAL) else "MISSED"
        print(f"goal: {mode}_control within {MODE_GOAL:.0%} of mit_control: {cost:.0f} "
              f"({cost / module - 1:+.1%}, {met})")
    print(f"python-can against the module: {python_can[0] / module:.1f}x the instructions, "
          f"{kernel_calls(python_can[2]):g} against {kernel_calls(results[clients[1][0]][2]):g} "
          f"system calls")


if __name__ == "__main__":
    main()
