"""Metric providers. Kept import-light: the compiled providers are installed here."""
