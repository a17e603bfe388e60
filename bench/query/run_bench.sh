#!/usr/bin/env bash
# XPath query benchmark: loads the corpus, then prints, for every query,
#  - the store in this process (warm median ms, without and with fragments),
#  - the store as a whole process (median wall ms of one query per process;
#    vxsh when it is built, else the benchmark program's "one" mode),
#  - libxml2 through lxml (parse included and excluded),
#  - BaseX when the basex command is installed (in-process "Total Time" and
#    a whole process), on a database created from the same files with its
#    default indexes.
# Usage: run_bench.sh <vxbench_query> ; environment: VXQ_BENCH_DIR
# (default /tmp/vx-query-bench), VXQ_DOCS (10000), VXQ_DOC_KB (10),
# VXQ_BIG_MB (100), VXQ_RUNS (3), VXQ_SKIP_LOAD=1 to reuse a loaded corpus.
set -euo pipefail

bench=${1:?usage: run_bench.sh <vxbench_query>}
here=$(cd "$(dirname "$0")" && pwd)
dir=${VXQ_BENCH_DIR:-/tmp/vx-query-bench}
runs=${VXQ_RUNS:-3}
corpus=$dir/corpus
export VDBS_DATA=$dir/data
export VDBS_SYNC=off
mkdir -p "$dir"

echo "== machine: $(nproc) cores, $(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -m)"
if [[ "${VXQ_SKIP_LOAD:-0}" != 1 ]]; then
  echo "== loading"
  "$bench" load "$corpus" "${VXQ_DOCS:-10000}" "${VXQ_DOC_KB:-10}" "${VXQ_BIG_MB:-100}"
fi
"$bench" queries > "$dir/queries.txt"
mapfile -t queries < "$dir/queries.txt"

echo "== store, in process (median of $runs warm runs, ms)"
"$bench" run "$runs"

# Median wall milliseconds of a command run $runs times (after one warm-up).
wall() {
  local times=() t0 t1
  "$@" > /dev/null 2>&1 < /dev/null || true
  for ((i = 0; i < runs; i++)); do
    t0=$(date +%s%N)
    "$@" > /dev/null 2>&1 < /dev/null || true
    t1=$(date +%s%N)
    times+=($(((t1 - t0) / 1000000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

vxsh=$(dirname "$bench")/vxsh
# One query in a whole process: vxsh when it is built (the query, and the
# query with itself as the fragment expression), else the benchmark program.
one() {
  local base=$1 frag=$2 q=$3
  if [[ -x $vxsh ]]; then
    if [[ $frag == 1 ]]; then
      VDBS_PASSWORD= "$vxsh" --data "$VDBS_DATA" query "$base" "$q" --fragments "$q" < /dev/null
    else
      VDBS_PASSWORD= "$vxsh" --data "$VDBS_DATA" query "$base" "$q" < /dev/null
    fi
  else
    "$bench" one "$base" "$frag" "$q"
  fi
}
echo "== store, whole process (median wall ms; $([[ -x $vxsh ]] && echo vxsh || echo "vxbench_query one"))"
printf '%-66s %-5s %10s %10s\n' query base ms ms+frag
for base in SMALL BIG; do
  for q in "${queries[@]}"; do
    printf '%-66s %-5s %10s %10s\n' "$q" "$base" "$(wall one "$base" 0 "$q")" "$(wall one "$base" 1 "$q")"
  done
done

echo "== libxml2 (lxml), median of $runs runs, ms"
/usr/bin/python3 "$here/libxml2_bench.py" "$corpus" "$dir/queries.txt" "$runs"

if ! command -v basex > /dev/null; then
  echo "== BaseX: not installed (Debian package basex), skipped"
  exit 0
fi
# BaseX keeps its configuration and databases below $HOME/basex.
export HOME=$dir/basexhome
mkdir -p "$HOME"
if [[ "${VXQ_SKIP_LOAD:-0}" != 1 || ! -d $HOME/basex/data/small ]]; then
  echo "== BaseX: creating databases"
  basex -c "CREATE DB small $corpus/small" 2>&1 | grep -v '^\[warning\]' || true
  basex -c "CREATE DB big $corpus/big.xml" 2>&1 | grep -v '^\[warning\]' || true
fi

# Median "Total Time" of $runs runs of one query in one BaseX process.
total() {
  local db=$1 q=$2 cmds
  cmds="OPEN $db"
  for ((i = 0; i <= runs; i++)); do cmds+=$'\n'"XQUERY $q"; done
  basex -V -c "$cmds" 2>/dev/null < /dev/null | sed -n 's/^Total Time: *\([0-9.]*\) ms.*/\1/p' | tail -n "$runs" | sort -n |
    sed -n "$(((runs + 1) / 2))p"
}

echo "== BaseX in process (median Total Time of $runs warm runs, ms) and whole process (median wall ms)"
printf '%-66s %-5s %10s %10s %10s %10s\n' query base count nodes proc-count proc-nodes
for base in small big; do
  for q in "${queries[@]}"; do
    printf '%-66s %-5s %10s %10s %10s %10s\n' "$q" "$base" "$(total "$base" "count($q)")" "$(total "$base" "$q")" \
      "$(wall basex -i "$base" "count($q)")" "$(wall basex -i "$base" "$q")"
  done
done
