"""Compiled evaluation runs. Kept import-light: extension modules live here."""
