"""Tools helpers. Kept import-light: the compiled platform endpoint table is installed here."""
