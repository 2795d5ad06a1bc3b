#!/usr/bin/env bash
# Imports the built Python module under every CPython 3.9 or later on PATH other than
# Debian's /usr/bin/python3 (which runs the pytest suite). The module is built once, on the
# stable ABI, and must load in each of them; interpreters older than 3.9 are skipped.
# Usage: scripts/check-python-imports.sh MODULE_DIR
set -euo pipefail
dir=$(realpath "$1")
[ -f "$dir/quelt_wake_word.abi3.so" ] || { echo "no quelt_wake_word.abi3.so in $dir" >&2; exit 1; }

declare -A seen=(["$(realpath /usr/bin/python3)"]=1)
checked=0
IFS=: read -ra path_dirs <<< "$PATH"
for folder in "${path_dirs[@]}"; do
  for py in "$folder"/python3 "$folder"/python3.[0-9]*; do
    [[ -x $py && $py =~ /python3(\.[0-9]+)?$ ]] || continue
    # What really runs (a version manager's shim resolves to an interpreter, or fails).
    exe=$("$py" -c 'import sys; print(sys.executable if sys.version_info >= (3, 9) else "")' \
          2>/dev/null) || continue
    [ -n "$exe" ] || continue
    real=$(realpath "$exe")
    [ -z "${seen[$real]:-}" ] || continue
    seen[$real]=1
    QWW_DIR="$dir" "$py" - <<'PY'
import os, sys
sys.path.insert(0, os.environ["QWW_DIR"])
import quelt_wake_word as q
assert q.__version__ == "0.1.5" and q.__all__ == ["__version__", "WakeWordEngine", "Detection"]
try:
    q.WakeWordEngine.from_bytes(b"")
except ValueError as error:
    assert str(error).startswith("quelt_wake_word: .qelt deserialize failed: FormatTruncated")
else:
    raise SystemExit("from_bytes(b'') did not fail")
print(f"python {sys.version.split()[0]} ({sys.executable}): quelt_wake_word imports")
PY
    checked=$((checked + 1))
  done
done
echo "quelt_wake_word imported under $checked other python3 interpreter(s) on PATH"
