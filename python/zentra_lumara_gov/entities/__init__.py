"""Entity layer of the SDK: configuration pieces, metrics, judge models and result records."""
