"""Local stand-in of the metrics plugin; ``mra`` assesses the risks of a foundation model."""
