"""Metric providers: the evaluation library, the detection service and the
criteria judge."""
