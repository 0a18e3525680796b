"""The store's schema migrations, run by ``RunStore`` each time it opens a database."""
