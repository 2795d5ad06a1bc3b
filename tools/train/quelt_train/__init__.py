"""Training recipe for the bundled wake-word model: data, network, evaluation, export."""
