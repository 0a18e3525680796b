"""Inference-engine wrappers used by judge-model metrics."""
