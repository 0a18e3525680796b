"""Runs the migrations on the connection ``RunStore`` hands over (never from a configuration file)."""

from alembic import context

from zentra_lumara_gov.store.schema import metadata

connection = context.config.attributes["connection"]
context.configure(
    connection=connection,
    target_metadata=metadata,
    version_table="store_schema_version",
    # SQLite alters tables by copying them; harmless on PostgreSQL.
    render_as_batch=connection.dialect.name == "sqlite",
)
with context.begin_transaction():
    context.run_migrations()
