"""The module's command path under measurement: COUNT MIT exchanges with one motor."""
import sys

import jointbus

iface, count = sys.argv[1], int(sys.argv[2])
bus = jointbus.SocketCanTransport(iface)
motor = jointbus.Damiao(0x001, 0x011, timeout_ms=1000)
setpoint = jointbus.MitSetpoint()
command = motor.mit_control
for _ in range(count):
    command(bus, setpoint)
print(f"{count} replies")
