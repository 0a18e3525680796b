"""Metric classes of the SDK."""
