"""The robot engine's tick under measurement: COUNT ticks of one bus of three motors."""
import sys

import jointbus
import jointbus_robot

iface, count = sys.argv[1], int(sys.argv[2])
# No watchdog: under valgrind a tick is slower than any useful limit.
robot = jointbus_robot.Robot(
    [jointbus_robot.Bus(iface, [jointbus_robot.Motor(m, 0x10 + m, "dm4310", timeout_ms=1000)
                                for m in (1, 2, 3)])],
    watchdog_ms=0, disable_on_exit=False)
commands = [jointbus.MitSetpoint()] * 3
tick = robot.tick
for _ in range(count):
    tick(commands)
robot.close()
print(f"{count} ticks")
