"""The scores file of `quelt-wake-word detect --scores`, read back per input."""

import os

import numpy as np
import pytest

from quelt_train import engine

# As the tool writes it: a file name with a comma is quoted; the model is named by its
# wake word.
SCORES = (
  "file,wake_word,frame_index,time_sec,score\n"
  "a.wav,hey nova,0,0.00,0.125\n"
  "a.wav,hey nova,1,0.01,0.25\n"
  "\"b,1.wav\",hey nova,0,0.00,0.5\n"
  "a.wav,hey nova,2,0.02,0.75\n"
)


def test_scores_per_input_in_order(tmp_path):
  path = tmp_path / "scores.csv"
  path.write_text(SCORES)
  a, b, c = engine.read_scores_csv(str(path), ["a.wav", "b,1.wav", "c.wav"])
  assert a.dtype == np.float32
  np.testing.assert_array_equal(a, [0.125, 0.25, 0.75])
  np.testing.assert_array_equal(b, [0.5])
  assert c.size == 0


def test_scores_of_several_models_are_refused(tmp_path):
  path = tmp_path / "scores.csv"
  path.write_text(SCORES + "a.wav,computer,0,0.00,0.5\n")
  with pytest.raises(ValueError, match="several models"):
    engine.read_scores_csv(str(path), ["a.wav", "b,1.wav"])


def test_the_newest_tool_that_runs_here_is_found_and_the_cross_build_skipped(tmp_path):
  import platform
  import time
  machines = {"x86_64": 62, "aarch64": 183}
  if platform.machine() not in machines:
    pytest.skip("an ELF machine number this test does not know")
  own = machines[platform.machine()]
  other = next(m for m in machines.values() if m != own)

  def tool(folder, machine):
    path = tmp_path / "build" / folder / "tools" / "cli" / "quelt-wake-word"
    path.parent.mkdir(parents=True)
    path.write_bytes(b"\x7fELF" + bytes(14) + machine.to_bytes(2, "little") + bytes(40))
    path.chmod(0o755)
    return str(path)

  old = tool("main", own)
  time.sleep(0.01)
  newer = tool("train", own)
  time.sleep(0.01)
  cross = tool("aarch64-cross", other)   # built last, for another machine
  assert engine.runs_here(newer) and not engine.runs_here(cross)
  assert engine.find_cli(str(tmp_path)) == newer
  os.utime(old, None)                    # rebuilt since: the newest of the host's wins
  assert engine.find_cli(str(tmp_path)) == old
