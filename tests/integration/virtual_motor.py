"""Runs jointbus-virtual-motor beside a test.

    with VirtualMotor(iface, ["--motor", "1:0x11:dm4310"], extra=["--log"]) as sim:
        ...  # the motors answer on iface until the block ends

The simulator binary is $JOINTBUS_SIM, else build/release/sim/jointbus-virtual-motor under the
repository root.
"""
from __future__ import annotations

import os
import signal
import subprocess
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]


def simulator_path() -> Path:
    given = os.environ.get("JOINTBUS_SIM")
    path = Path(given) if given else REPO_ROOT / "build/release/sim/jointbus-virtual-motor"
    if not os.access(path, os.X_OK):
        raise FileNotFoundError(f"no simulator at {path}: build it, or set JOINTBUS_SIM")
    return path


class SimulatorError(RuntimeError):
    pass


class VirtualMotor:
    """The simulator as a context manager: entering starts it on `iface` with `args` and then
    `extra`, and returns once its ready file exists (the interface is open and the motors
    answer); `preexec_fn`, if given, runs in the child just before the program starts. Leaving
    sends SIGTERM and waits for it to exit; when the block itself raised nothing, a simulator
    that died or exited with a non-zero status raises SimulatorError with its stderr."""

    def __init__(self, iface: str, args: list[str], extra: list[str] = (),
                 ready_timeout: float = 15.0, stop_timeout: float = 10.0, preexec_fn=None):
        self.command = [str(simulator_path()), "--iface", iface, *args, *extra]
        self.ready_timeout = ready_timeout
        self.stop_timeout = stop_timeout
        self.preexec_fn = preexec_fn
        self.process: subprocess.Popen | None = None
        self.returncode: int | None = None
        self._dir: tempfile.TemporaryDirectory | None = None

    @property
    def pid(self) -> int:
        return self.process.pid

    def stderr(self) -> str:
        """Everything the simulator has written to stderr so far (with --log, every frame)."""
        try:
            return (Path(self._dir.name) / "stderr").read_text(errors="replace")
        except (AttributeError, OSError):
            return ""

    def __enter__(self) -> VirtualMotor:
        self._dir = tempfile.TemporaryDirectory(prefix="virtual-motor.")
        ready = Path(self._dir.name) / "ready"
        # A file, not a pipe: with --log the simulator writes a line per frame, and a pipe
        # nobody reads would fill up and stall it.
        with open(Path(self._dir.name) / "stderr", "wb") as stderr:
            self.process = subprocess.Popen([*self.command, "--ready-file", str(ready)],
                                            stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=stderr,
                                            preexec_fn=self.preexec_fn)
        deadline = time.monotonic() + self.ready_timeout
        while not ready.exists():
            if self.process.poll() is not None:
                self.returncode = self.process.returncode
                message = (f"simulator exited with status {self.returncode} before it was "
                           f"ready: {' '.join(self.command)}\n{self.stderr()}")
                self._dir.cleanup()
                raise SimulatorError(message)
            if time.monotonic() > deadline:
                self.stop()
                message = (f"simulator not ready after {self.ready_timeout} s: "
                           f"{' '.join(self.command)}\n{self.stderr()}")
                self._dir.cleanup()
                raise SimulatorError(message)
            time.sleep(0.02)
        return self

    def stop(self) -> int:
        """SIGTERM, then SIGKILL if it lingers; returns the exit status (negative: signal)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(self.stop_timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.returncode = self.process.returncode
        return self.returncode

    def __exit__(self, kind, value, traceback) -> None:
        died = self.process.poll() is not None
        status = self.stop()
        try:
            if kind is None and (died or status != 0):
                how = "died during the test" if died else "did not exit cleanly on SIGTERM"
                raise SimulatorError(f"simulator {how} (status {status}): "
                                     f"{' '.join(self.command)}\n{self.stderr()}")
        finally:
            self._dir.cleanup()
