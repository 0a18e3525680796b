"""Service clients of the SDK."""
