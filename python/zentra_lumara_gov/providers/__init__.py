"""Metric providers. Kept import-light: the compiled providers are installed here."""

from zentra_lumara_gov import _platform

# A missing platform package is named, with the command that installs the stand-ins.
_platform.install_check()
