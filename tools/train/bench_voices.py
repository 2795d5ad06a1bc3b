#!/usr/bin/python3
"""File: bench_voices.py -- rendering speed of the extra synthesisers and of Praat's voice
transform, in clips per second on the given number of workers.

Usage: bench_voices.py [--clips N] [--workers W]
Each engine renders N clips of one voice per clip kind mix (wake words, lead-ins, sentences,
look-alike words) as synthesise() does; the transform then changes N of the rendered clips.
"""

import argparse
import os
import random
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quelt_train import synth, voice_transform, voices  # noqa: E402

SENTENCES = ["the lights in the kitchen are still on", "what time does the train leave",
             "i would like a cup of tea please", "turn the music down a little",
             "she read the whole book in one afternoon"]


def main():
  ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
  ap.add_argument("--clips", type=int, default=60)
  ap.add_argument("--workers", type=int, default=2)
  args = ap.parse_args()
  rng = random.Random(1)
  rendered = []
  with tempfile.TemporaryDirectory() as tmpdir:
    for engine in voices.ENGINES:
      why_not = engine.available()
      if why_not:
        print(f"{engine.NAME:10s} skipped: {why_not}")
        continue
      voice = engine.VOICES[0]
      items = synth.plan_items(rng, SENTENCES, *[max(1, round(args.clips * n / sum(engine.PLAN)))
                                                  for n in engine.PLAN])
      jobs = [(text, engine.draw(rng, voice)) for _, text in items]
      t0 = time.time()
      clips = voices.render_voice(engine, voice, jobs, tmpdir, args.workers)
      secs = time.time() - t0
      ok = [c for c in clips if c is not None]
      audio_s = sum(len(c) for c in ok) / synth.SAMPLE_RATE
      print(f"{engine.NAME:10s} {len(jobs) / secs:6.1f} clips/s ({len(ok)}/{len(jobs)} clips, "
            f"{audio_s / secs:5.1f} s of audio per s)")
      rendered += ok
    if rendered and not voice_transform.available():
      clips = [rendered[i % len(rendered)] for i in range(args.clips)]
      params = [voice_transform.draw(rng) for _ in clips]
      t0 = time.time()
      out = voice_transform.change_gender(clips, params, tmpdir, args.workers)
      secs = time.time() - t0
      print(f"{'praat':10s} {len(clips) / secs:6.1f} clips/s "
            f"({sum(c is not None for c in out)}/{len(clips)} clips)")


if __name__ == "__main__":
  main()
