"""Training recipe for wake-word models: data, network, evaluation, export."""

# Recorded in every artefact's configuration and model card: which recipe made the model.
# Raise it when a change to the recipe changes what a run produces.
RECIPE_VERSION = "2.0"
