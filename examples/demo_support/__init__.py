"""What tools/demo adds around the example controllers examples/trajectory_demo.py and
examples/robot.py: their command lines, the trajectories, the live table, the CSV log, the plot,
the JSON summary, and the defaults and advice that suit the machine. A controller of your own
needs none of it."""
from . import machine
from .config import (STATUS_DISABLED, STATUS_ENABLED, Joint, make_joints, parse_args,
                     status_text)
from .report import Recorder, conclude
from .trajectory import Steps, Trajectory

__all__ = ["STATUS_DISABLED", "STATUS_ENABLED", "Joint", "Recorder", "Steps", "Trajectory",
           "conclude", "machine", "make_joints", "parse_args", "status_text"]
