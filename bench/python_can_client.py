"""What a Python user would pick instead of the module: python-can's SocketCAN bus and the
MIT codec in Python, doing the same exchange (discard what already waits, send the command,
wait up to a timeout for the reply from the master id), COUNT times."""
import sys

import can

from mit_codec import decode, encode

iface, count = sys.argv[1], int(sys.argv[2])
bus = can.Bus(interface="socketcan", channel=iface)
replies = 0
for _ in range(count):
    while bus.recv(timeout=0) is not None:  # a frame already waiting is stale
        pass
    bus.send(can.Message(arbitration_id=0x001, is_extended_id=False,
                         data=encode(0.0, 0.0, 0.0, 0.0, 0.0)))
    while (reply := bus.recv(timeout=1.0)) is not None:
        if reply.arbitration_id == 0x011 and not reply.is_extended_id:
            state = decode(reply.data)
            replies += 1
            break
bus.shutdown()
print(f"{replies} replies")
sys.exit(0 if replies == count else 1)
