"""The module's command path under measurement: COUNT exchanges with one motor, MIT commands
or (with a third argument) the commands of another control mode. Each loop spells its call
out: unpacking arguments would cost the interpreter more than the command itself differs."""
import sys

import jointbus

iface, count = sys.argv[1], int(sys.argv[2])
mode = sys.argv[3] if len(sys.argv) > 3 else "mit"
bus = jointbus.SocketCanTransport(iface)
motor = jointbus.Damiao(0x001, 0x011, timeout_ms=1000)
# The virtual motor answers every command in every mode, so one motor serves each measurement.
if mode == "mit":
    setpoint = jointbus.MitSetpoint()
    command = motor.mit_control
    for _ in range(count):
        command(bus, setpoint)
elif mode == "pos_vel":
    command = motor.pos_vel_control
    for _ in range(count):
        command(bus, 0.5, 1.0)
elif mode == "vel":
    command = motor.vel_control
    for _ in range(count):
        command(bus, 1.0)
else:
    command = motor.force_pos_control
    for _ in range(count):
        command(bus, 0.5, 1.0, 0.5)
print(f"{count} replies")
