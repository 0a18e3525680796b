"""Metric evaluation entry points; the compiled run modules are installed in impl/."""
