"""For scale: the same exchange written in Python with the socket module (send the command,
then per received frame a timeout and a read), COUNT times."""
import socket
import struct
import sys

iface, count = sys.argv[1], int(sys.argv[2])
bus = socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
bus.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
bus.bind((iface,))
command = struct.pack("=IB3x8s", 0x001, 8, bytes.fromhex("7FFF7FF0000007FF"))
timeout = struct.pack("=qq", 1, 0)
replies = 0
for _ in range(count):
    bus.send(command)
    while True:
        bus.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, timeout)
        try:
            reply = bus.recv(72)
        except BlockingIOError:
            break
        if struct.unpack_from("=I", reply)[0] == 0x011:
            replies += 1
            break
print(f"{replies} replies")
