"""For scale: the same exchange written in Python with the socket module and the Python codec
(discard what already waits, send the command, then per received frame a timeout and a
read), COUNT times."""
import socket
import struct
import sys

from mit_codec import decode, encode

iface, count = sys.argv[1], int(sys.argv[2])
bus = socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
bus.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
bus.bind((iface,))
timeout = struct.pack("=qq", 1, 0)
replies = 0
for _ in range(count):
    while True:  # a frame already waiting is stale: drop it without blocking
        try:
            bus.recv(72, socket.MSG_DONTWAIT)
        except BlockingIOError:
            break
    bus.send(struct.pack("=IB3x8s", 0x001, 8, encode(0.0, 0.0, 0.0, 0.0, 0.0)))
    while True:
        bus.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, timeout)
        try:
            reply = bus.recv(72)
        except BlockingIOError:
            break
        if struct.unpack_from("=I", reply)[0] == 0x011:
            state = decode(reply[8:16])
            replies += 1
            break
print(f"{replies} replies")
sys.exit(0 if replies == count else 1)
