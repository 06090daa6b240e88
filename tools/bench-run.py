"""Inside tools/bench: instructions per exchange, from the difference of two run lengths so
that start-up costs cancel out."""
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "release"
IFACE = os.environ["JOINTBUS_VCAN"]
SHORT, LONG = 200, 2200


def instructions(command, env=None, only=None):
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "callgrind.out"
        collect = [f"--toggle-collect={only}"] if only else []
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *collect,
                        *command], check=True, capture_output=True, env=env)
        summary = re.search(r"^summary:\s+(\d+)", out.read_text(), re.MULTILINE)
        return int(summary.group(1))


def per_exchange(command, env=None, only=None):
    short = instructions([*command, str(SHORT)], env, only)
    long = instructions([*command, str(LONG)], env, only)
    return (long - short) / (LONG - SHORT)


def main():
    ready = Path(tempfile.mkdtemp()) / "ready"
    sim = subprocess.Popen([str(BUILD / "sim" / "jointbus-virtual-motor"), "--iface", IFACE,
                            "--motor", "1:0x11:dm4310", "--ready-file", str(ready)])
    try:
        deadline = time.monotonic() + 10
        while not ready.exists():
            if time.monotonic() > deadline or sim.poll() is not None:
                sys.exit("the virtual motor did not start")
            time.sleep(0.01)
        env = dict(os.environ, PYTHONPATH=str(BUILD / "src"))
        baseline = per_exchange([str(BUILD / "bench" / "c_client"), IFACE])
        module = per_exchange(["/usr/bin/python3.11", str(ROOT / "bench" / "python_client.py"),
                               IFACE], env)
        # The module's own share: from entering the method to returning the new MotorState.
        inside = per_exchange(["/usr/bin/python3.11", str(ROOT / "bench" / "python_client.py"),
                               IFACE], env, only="*jointbus::python::*command*")
        plain_python = per_exchange(["/usr/bin/python3.11",
                                     str(ROOT / "bench" / "python_socket_client.py"), IFACE])
    finally:
        sim.terminate()
        sim.wait()
    print(f"user-space instructions per exchange (callgrind, {LONG - SHORT} exchanges)")
    print(f"  C client, same system calls:      {baseline:10.0f}")
    print(f"  jointbus Damiao.mit_control loop: {module:10.0f}  ({module / baseline:.1f}x)")
    print(f"    of which inside the module:     {inside:10.0f}  ({inside / baseline:.1f}x)")
    print(f"  Python socket module, same calls: {plain_python:10.0f}  "
          f"({plain_python / baseline:.1f}x)")


if __name__ == "__main__":
    main()
