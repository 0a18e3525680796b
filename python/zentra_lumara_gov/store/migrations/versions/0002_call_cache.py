"""The call cache and the runs' kept inputs.

Revision ID: 0002
Revises: 0001
"""

import sqlalchemy as sa
from alembic import op

revision = "0002"
down_revision = "0001"
branch_labels = None
depends_on = None


def upgrade() -> None:
    op.create_table(
        "call_cache",
        sa.Column("key", sa.String(64), primary_key=True),
        sa.Column("kind", sa.String(16), nullable=False),
        sa.Column("endpoint", sa.Text),
        sa.Column("model", sa.Text),
        sa.Column("answer", sa.Text, nullable=False),
        sa.Column("input_tokens", sa.Integer),
        sa.Column("output_tokens", sa.Integer),
        sa.Column("created_at", sa.String(32), nullable=False),
    )
    op.create_index("ix_call_cache_created_at", "call_cache", ["created_at"])
    op.create_table(
        "run_inputs",
        sa.Column("run_id", sa.String(36), primary_key=True),
        sa.Column("record", sa.Text, nullable=False),
        sa.Column("data_format", sa.String(16), nullable=False),
        sa.Column("data", sa.LargeBinary, nullable=False),
        sa.Column("stored_at", sa.String(32), nullable=False),
    )


def downgrade() -> None:
    op.drop_table("run_inputs")
    op.drop_index("ix_call_cache_created_at", table_name="call_cache")
    op.drop_table("call_cache")
