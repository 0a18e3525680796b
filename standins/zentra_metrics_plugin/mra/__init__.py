"""Model-risk assessment: probe a foundation model per risk dimension and report."""
