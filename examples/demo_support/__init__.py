"""What tools/demo adds around the example controller examples/trajectory_demo.py: its command
line, the trajectory, the live table, the CSV log, the plot and the JSON summary. A controller
of your own needs none of it."""
from .config import (STATUS_DISABLED, STATUS_ENABLED, Joint, make_joints, parse_args,
                     status_text)
from .report import Recorder, conclude
from .trajectory import Trajectory

__all__ = ["STATUS_DISABLED", "STATUS_ENABLED", "Joint", "Recorder", "Trajectory", "conclude",
           "make_joints", "parse_args", "status_text"]
