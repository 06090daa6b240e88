#!/usr/bin/python3.11
"""The smallest complete program: open the bus, enable one motor, send one MIT command that
holds it where it is, print what it reports, and disable it whatever happens.

    python3.11 examples/minimal.py can0 0x01 0x11

Arguments: interface, motor id, master id (defaults can0, 0x01, 0x11). Positions are in rad,
velocities in rad/s, torques in N m.
"""
import sys

import jointbus


def main(iface="can0", motor_id="0x01", master_id="0x11"):
    bus = jointbus.SocketCanTransport(iface)
    motor = jointbus.Damiao(int(motor_id, 0), int(master_id, 0), jointbus.MitLimits.dm4310())
    motor.ensure_mit_mode(bus)  # some motors ship in another control mode and ignore MIT
    try:
        state = motor.enable(bus)
        print("enabled:", state)
        # Hold the current position with a soft spring: small kp, some damping.
        hold = jointbus.mit_setpoint(q=state.position, kp=2.0, kd=0.3)
        print("holding:", motor.mit_control(bus, hold))
    finally:
        print("disabled:", motor.disable(bus))


if __name__ == "__main__":
    main(*sys.argv[1:])
