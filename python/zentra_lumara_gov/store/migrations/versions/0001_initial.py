"""The first schema: runs, records, metric aggregates, record results and sign-offs.

Revision ID: 0001
Revises:
"""

import sqlalchemy as sa
from alembic import op

revision = "0001"
down_revision = None
branch_labels = None
depends_on = None


def upgrade() -> None:
    op.create_table(
        "runs",
        sa.Column("seq", sa.Integer, primary_key=True, autoincrement=False),
        sa.Column("run_id", sa.String(36), nullable=False, unique=True),
        sa.Column("status", sa.String(16), nullable=False),
        sa.Column("started_at", sa.String(32), nullable=False),
        sa.Column("finished_at", sa.String(32)),
        sa.Column("stored_at", sa.String(32), nullable=False),
        sa.Column("sdk_version", sa.String(64), nullable=False),
        sa.Column("build_id", sa.String(64), nullable=False),
        sa.Column("git_commit", sa.String(64)),
        sa.Column("data_source", sa.Text, nullable=False),
        sa.Column("data_fingerprint", sa.String(64)),
        sa.Column("record_count", sa.Integer, nullable=False),
        sa.Column("metric_count", sa.Integer, nullable=False),
        sa.Column("tags", sa.Text, nullable=False),
        sa.Column("record", sa.Text, nullable=False),
        sa.Column("content_hash", sa.String(64), nullable=False),
        sa.Column("previous_digest", sa.String(64), nullable=False),
        sa.Column("digest", sa.String(64), nullable=False, unique=True),
    )
    op.create_index("ix_runs_started_at", "runs", ["started_at"])
    op.create_table(
        "records",
        sa.Column("run_id", sa.String(36), nullable=False),
        sa.Column("position", sa.Integer, nullable=False),
        sa.Column("record_id", sa.Text, nullable=False),
        sa.Column("record_hash", sa.String(32), nullable=False),
        sa.Column("input_hash", sa.String(32), nullable=False),
        sa.PrimaryKeyConstraint("run_id", "position"),
        sqlite_with_rowid=False,
    )
    op.create_table(
        "metric_aggregates",
        sa.Column("run_id", sa.String(36), nullable=False),
        sa.Column("position", sa.Integer, nullable=False),
        sa.Column("name", sa.Text, nullable=False),
        sa.Column("provider", sa.Text),
        sa.Column("method", sa.Text),
        sa.Column("display_name", sa.Text),
        sa.Column("metric_group", sa.Text),
        sa.Column("value", sa.Float),
        sa.Column("value_text", sa.Text),
        sa.Column("total_records", sa.Integer, nullable=False),
        sa.Column("min", sa.Float),
        sa.Column("max", sa.Float),
        sa.Column("mean", sa.Float),
        sa.Column("thresholds", sa.Text, nullable=False),
        sa.Column("errors", sa.Text),
        sa.PrimaryKeyConstraint("run_id", "position"),
        sqlite_with_rowid=False,
    )
    op.create_table(
        "record_results",
        sa.Column("run_id", sa.String(36), nullable=False),
        sa.Column("metric_position", sa.Integer, nullable=False),
        sa.Column("position", sa.Integer, nullable=False),
        sa.Column("record_id", sa.Text, nullable=False),
        sa.Column("name", sa.Text, nullable=False),
        sa.Column("provider", sa.Text),
        sa.Column("method", sa.Text),
        sa.Column("value", sa.Float),
        sa.Column("label", sa.Text),
        sa.Column("explanation", sa.Text),
        sa.Column("errors", sa.Text),
        sa.Column("record_timestamp", sa.Text),
        sa.Column("evidences", sa.Text),
        sa.Column("additional_info", sa.Text),
        sa.PrimaryKeyConstraint("run_id", "metric_position", "position"),
        sqlite_with_rowid=False,
    )
    op.create_table(
        "signoffs",
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
        sa.Column("run_id", sa.String(36), sa.ForeignKey("runs.run_id"), nullable=False),
        sa.Column("digest", sa.String(64), nullable=False),
        sa.Column("signed_by", sa.Text, nullable=False),
        sa.Column("note", sa.Text),
        sa.Column("signed_at", sa.String(32), nullable=False),
        sa.Column("public_key", sa.String(64), nullable=False),
        sa.Column("signature", sa.String(128), nullable=False),
    )
    op.create_index("ix_signoffs_run_id", "signoffs", ["run_id"])


def downgrade() -> None:
    for table in ("signoffs", "record_results", "metric_aggregates", "records", "runs"):
        op.drop_table(table)
