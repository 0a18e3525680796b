"""The run store: evaluation runs kept in SQLite or PostgreSQL, tamper-evident and signed off.

:class:`RunStore` adds runs and sign-offs, lists and loads them, and
verifies the chain of digests (``schema`` documents the tables, ``digest``
the canonical serialisation, ``signing`` the sign-offs).
"""

from zentra_lumara_gov.store.run_store import RunStore, SignOff, Verification, open_store, resolve_url

__all__ = ["RunStore", "SignOff", "Verification", "open_store", "resolve_url"]
