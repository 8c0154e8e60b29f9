#!/usr/bin/env bash
# The committed loader images are exactly what scripts/loaders.sh builds from
# the sources in firmware/ (cross tools installed by scripts/setup.sh).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
"$ROOT/scripts/loaders.sh" "$OUT" 2>"$OUT/log" || { cat "$OUT/log"; exit 1; }
status=0
for f in "$ROOT"/src/loaders/loader_*.cpp; do
  name=$(basename "$f")
  if ! cmp -s "$f" "$OUT/$name"; then
    echo "regenerated $name differs from the committed one:"
    diff "$f" "$OUT/$name" | head -20
    status=1
  fi
done
[ "$(ls "$OUT"/loader_*.cpp | wc -l)" -eq "$(ls "$ROOT"/src/loaders/loader_*.cpp | wc -l)" ] || { echo "image count differs"; status=1; }
[ $status -eq 0 ] && echo "1 passed, 0 failed"
exit $status
