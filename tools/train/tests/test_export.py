"""Export round trip: a network written through qelt-write scores the same in the engine.

Needs a build of qelt-write and quelt-wake-word (any folder under build/); skipped without.
"""

import os
import sys

import numpy as np
import pytest
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(HERE, ".."))
import export  # noqa: E402
from quelt_train import engine  # noqa: E402
from test_model import random_net  # noqa: E402


WRITER = engine.find_tool(REPO, "tools/writer/qelt-write")
CLI = engine.find_cli(REPO)


@pytest.mark.skipif(not (WRITER and CLI), reason="needs qelt-write and quelt-wake-word builds")
def test_engine_scores_equal_pytorch_after_export(tmp_path):
  net = random_net(4)
  clips = export.parity_clips(n=3, seconds=4.0)
  with torch.no_grad():  # centre the scores so that differences show
    from quelt_train import frontend
    net.head.bias -= net(frontend.TorchFrontend()(torch.from_numpy(clips[1])[None])).mean()
  out = str(tmp_path / "m.qelt")
  export.write_artefact(net, out, WRITER)
  scorer = engine.CliScorer(out, CLI, str(tmp_path))
  worst, ok = export.parity_check(net, scorer, clips)
  assert ok, worst
  assert np.ptp(scorer.scores(clips[1])) > 0.01
