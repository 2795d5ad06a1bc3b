"""The side-by-side table: matched false accepts per model, rooms and families kept apart."""

import compare


def row(threshold, fa, frr_neural, frr_real=None):
  fams = {"neural voices": {"words": 10, "frr": frr_neural}}
  if frr_real is not None:
    fams["real contributor"] = {"words": 4, "frr": frr_real}
  fams["all"] = {"words": 14, "frr": frr_neural}
  return {"threshold": threshold, "families": fams, "pooled_fa_per_hour": fa}


def test_each_model_is_read_at_its_own_threshold_for_the_same_rate():
  # A misses less at 0.9 but only because it fires more: at 1 FA/h B is the better one
  a = [row(0.5, 9.0, 0.0, 0.0), row(0.7, 1.5, 0.1, 0.25), row(0.9, 0.8, 0.3, 0.5)]
  b = [row(0.5, 0.9, 0.2), row(0.7, 0.4, 0.4), row(0.9, 0.0, 0.6)]
  res = lambda rows: {"room": rows, "quiet": rows}
  lines = compare.table([("A", res(a)), ("B", res(b))], [0.5, 1.0])
  assert lines[0].count("|") == 2 + 3 * 2 + 1
  by = {tuple(c.strip() for c in l.split("|")[1:3]): [c.strip() for c in l.split("|")[3:-1]]
        for l in lines[2:]}
  assert by[("room", "neural voices")] == ["30.0 %", "60.0 %", "not reached", "40.0 %",
                                           "30.0 %", "20.0 %"]
  # a family one model has not been scored on leaves its cell empty, not a zero
  assert by[("quiet room", "real contributor")] == ["50.0 %", "", "not reached", "", "50.0 %", ""]
  assert [k for k in by] == [(r, f) for r in ("room", "quiet room")
                             for f in ("neural voices", "real contributor", "all")]
