"""Fake management appliance: a test peer for Tarnwick's wire protocol.

Standard library only. See README.md for the Python API and the command line.
"""

from .server import Config, FakeAppliance, Record  # noqa: F401
from . import wire  # noqa: F401
