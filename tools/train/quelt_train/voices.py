"""File: voices.py -- the extra synthesisers of the training set and the loop that renders
them: RHVoice, SVOX Pico, GnuSpeech and mbrola (the last for evaluation only).

Every engine speaks the same text plan as flite and festival (synth.plan_items) per voice,
with random parameters per clip, drawn from a generator of its own (seeded by the synthesis
seed and the engine's name), so an engine that is missing on a machine leaves the others'
clips as they were. An engine that cannot run is skipped with a log line.
"""

import importlib
import random
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

from . import voices_gnuspeech, voices_mbrola, voices_pico, voices_rhvoice

ENGINES = (voices_rhvoice, voices_pico, voices_gnuspeech, voices_mbrola)


def _render_one(job):
  module, voice, text, params, tmpdir = job
  return importlib.import_module(module).render(voice, text, params, tmpdir)


def render_voice(engine, voice, jobs, tmpdir, workers):
  """Renders the (text, params) jobs of one voice on `workers` processes; one clip (16 kHz
  float audio or None) per job."""
  if hasattr(engine, "render_batch"):
    chunks = [jobs[i::workers] for i in range(workers)]
    with ThreadPoolExecutor(max_workers=workers) as pool:
      parts = list(pool.map(lambda c: engine.render_batch(voice, c, tmpdir) if c else [],
                            chunks))
    out = [None] * len(jobs)
    for w, part in enumerate(parts):
      out[w::workers] = part
    return out
  todo = [(engine.__name__, voice, text, params, tmpdir) for text, params in jobs]
  with ProcessPoolExecutor(max_workers=workers) as pool:
    return list(pool.map(_render_one, todo, chunksize=8))


def render_engines(plan, seed, tmpdir, workers=2, log=print, engines=ENGINES):
  """Yields (clip, index entry) for every clip of every available engine. plan(rng, counts)
  gives one voice's (kind, text) list for the engine's PLAN counts."""
  for engine in engines:
    why_not = engine.available()
    if why_not:
      log(f"{engine.NAME}: skipped, {why_not}")
      continue
    rng = random.Random(f"{seed}:{engine.NAME}")
    t0, n, kept = time.time(), 0, 0
    for voice in engine.VOICES:
      items = plan(rng, engine.PLAN)
      jobs = [(text, engine.draw(rng, voice)) for _, text in items]
      for (kind, text), (_, params), clip in zip(items, jobs,
                                                 render_voice(engine, voice, jobs, tmpdir,
                                                              workers)):
        n += 1
        kept += clip is not None
        yield clip, {"synth": engine.NAME, "voice": f"{engine.NAME}_{voice}",
                     "accent": engine.NAME, "variant": voice, "kind": kind, "text": text,
                     "params": params}
    secs = time.time() - t0
    log(f"{engine.NAME}: {kept} of {n} clips rendered, {len(engine.VOICES)} voices, "
        f"{n / max(secs, 1e-9):.1f} clips/s on {workers} workers")
