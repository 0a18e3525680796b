"""Tools layer of the SDK."""
