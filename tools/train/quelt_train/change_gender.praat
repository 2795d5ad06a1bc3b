# File: change_gender.praat -- Praat's "Change gender" over a list of clips, so that one Praat
# process (slow to start) transforms many. Usage: praat --run change_gender.praat JOBS.tsv
# JOBS.tsv is tab-separated with a header: in, out, formant_ratio, pitch_median, pitch_range.
# Every row reads `in`, shifts its formants by formant_ratio, moves its pitch median to
# pitch_median Hz with its range scaled by pitch_range, keeps its duration and writes `out`.
form Change gender of many clips
  text jobs
endform
table = Read Table from tab-separated file: jobs$
n = Get number of rows
for i to n
  selectObject: table
  in$ = Get value: i, "in"
  out$ = Get value: i, "out"
  ratio = Get value: i, "formant_ratio"
  median = Get value: i, "pitch_median"
  range = Get value: i, "pitch_range"
  sound = Read from file: in$
  changed = Change gender: 75, 600, ratio, median, range, 1
  Save as WAV file: out$
  removeObject: sound, changed
endfor
