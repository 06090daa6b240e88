"""Fixtures for tests on a real CAN interface, the one named by JOINTBUS_VCAN."""
import os
import socket
import struct
import time

import pytest

import jointbus

from virtual_motor import VirtualMotor

CAN_EFF_FLAG = 0x80000000
CAN_MTU = 16
CANFD_MTU = 72
SO_RCVBUFFORCE = 33


@pytest.fixture(scope="session")
def iface():
    name = os.environ.get("JOINTBUS_VCAN")
    if not name:
        pytest.fail("JOINTBUS_VCAN is not set: run the bus tests through tools/with-vcan")
    return name


@pytest.fixture
def bus(iface):
    return jointbus.SocketCanTransport(iface)


class Capture:
    """A second raw socket on the bus: every frame anyone puts on it, as (id, bytes, fd)."""

    def __init__(self, iface):
        self.socket = socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.socket.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
        # Room for a few seconds of a busy bus, so that what a test asserts was not dropped.
        try:
            self.socket.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 16 << 20)
        except PermissionError:
            pass
        self.socket.bind((iface,))

    def frames(self, settle=0.05, most=10.0):
        """Everything received until the bus has been quiet for `settle` seconds. A bus that
        is never quiet (something still sends) fails the test after `most` seconds instead of
        filling memory."""
        got = []
        give_up = time.monotonic() + most
        self.socket.settimeout(settle)
        while True:
            if time.monotonic() > give_up:
                pytest.fail(f"the bus was not quiet for {settle} s within {most} s: "
                            f"{len(got)} frames, something still sends")
            try:
                raw = self.socket.recv(CANFD_MTU)
            except socket.timeout:
                return got
            can_id, length = struct.unpack_from("=IB", raw)
            extended = bool(can_id & CAN_EFF_FLAG)
            number = can_id & (0x1FFFFFFF if extended else 0x7FF)
            got.append((number, bytes(raw[8:8 + length]), len(raw) == CANFD_MTU, extended))

    def close(self):
        self.socket.close()


@pytest.fixture
def capture(iface):
    watcher = Capture(iface)
    yield watcher
    watcher.close()


@pytest.fixture
def virtual_motor(iface):
    """Starts the virtual motor program with the given arguments; stopped after the test."""
    started = []

    def start(*arguments):
        sim = VirtualMotor(iface, list(arguments))
        sim.__enter__()
        started.append(sim)
        return sim

    yield start
    for sim in reversed(started):
        sim.__exit__(None, None, None)


@pytest.fixture
def stopwatch():
    def measure(call):
        start = time.monotonic()
        try:
            return call(), time.monotonic() - start
        except BaseException as error:
            return error, time.monotonic() - start

    return measure
