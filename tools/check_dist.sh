#!/usr/bin/env bash
# Builds the sdist and the wheel with `python -m build`, then installs each in a
# fresh venv and checks it there: the module, the companion package, the stubs
# (mypy), the console script on the shipped sample data. Slow (two builds), so
# not part of CI.  Usage: tools/check_dist.sh [PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m build --outdir "$work/dist" .
wheel=$(ls "$work"/dist/*.whl)
sdist=$(ls "$work"/dist/*.tar.gz)

for artifact in "$wheel" "$sdist"; do
  echo "== $(basename "$artifact")"
  "$python" -m venv "$work/venv"
  "$work/venv/bin/python" -m pip install -q "$artifact" mypy
  (
    cd "$work"
    venv/bin/python - <<'PY'
import pickle, fernquill, fernquill_tools
kp = fernquill.KeywordProcessor()
kp.add_keyword("new york", "NYC")
text = "İİ new york"
(m,) = fernquill_tools.char_offsets(text, kp.extract_keywords(text))
assert text[m.start:m.end] == "new york", m
exc = fernquill_tools.PanicException("x")
assert type(pickle.loads(pickle.dumps(exc))) is fernquill_tools.PanicException
print("module and companion package: ok")
PY
    printf 'from fernquill import KeywordProcessor\nKeywordProcessor().add_keyword("a")\n' > typed.py
    venv/bin/python -m mypy --strict typed.py
    venv/bin/python -m mypy.stubtest fernquill
  )
  "$work/venv/bin/fernquill" extract -k examples/data/keywords.tsv examples/data/*.txt > "$work/out.jsonl"
  echo "console script: $(wc -l < "$work/out.jsonl") records"
  rm -rf "$work/venv"
done
echo "sdist and wheel: ok"
