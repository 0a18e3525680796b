"""Zentra Lumara governance SDK."""
