"""SDK utilities. Kept import-light: the compiled endpoint table is installed here."""
