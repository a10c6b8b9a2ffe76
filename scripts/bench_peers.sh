#!/bin/sh
# Times the engine against two peer saturators from Debian's calf-plugins, Calf Saturator and
# Calf Tape Simulator (through lv2bench, which runs plug-ins at 48 kHz), with the same frame
# count and block size, and prints the cost ratios (engine ns per stereo frame over peer ns per
# frame) per quality. The contenders run interleaved, REPS times each; the figures are medians.
#
# Builds nothing: it runs $BUILD_DIR/bench/engine/pelmor_engine_bench (see scripts/build.sh).
#   BUILD_DIR  build directory (default: build)
#   REPS       repetitions (default: 5)
#   FRAMES     frames per run (default: 960000, 20 s at 48 kHz)
#   CHECK=1    exit with status 1 if a target is missed (x1 <= 0.35, x4 <= 1.0, x8 <= 2.0 of
#              Calf Saturator)
# Times are wall-clock for every contender (lv2bench reports wall-clock time); on a busy machine
# the ratios stay comparable because the runs are interleaved, the absolute figures do not.
set -eu
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
REPS=${REPS:-5}
FRAMES=${FRAMES:-960000}
CHECK=${CHECK:-0}
BLOCK=512
BENCH="$BUILD_DIR/bench/engine/pelmor_engine_bench"
SATURATOR=http://calf.sourceforge.net/plugins/Saturator
TAPE=http://calf.sourceforge.net/plugins/TapeSimulator

if [ ! -x "$BENCH" ]; then
    echo "bench_peers: $BENCH not found; build first (scripts/build.sh)" >&2
    exit 1
fi
for tool in lv2bench lv2ls python3; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "bench_peers: $tool not found (scripts/setup.sh installs it)" >&2
        exit 1
    fi
done
for uri in "$SATURATOR" "$TAPE"; do
    if ! lv2ls | grep -qx "$uri"; then
        echo "bench_peers: LV2 plug-in $uri not installed (calf-plugins)" >&2
        exit 1
    fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

# "exit status N", or the signal that killed the program, and the last line it wrote to stderr.
failure() { # status errfile
    if [ "$1" -gt 128 ]; then
        why="killed by signal $(($1 - 128))"
    else
        why="exit status $1"
    fi
    last=$(grep -v '^[[:space:]]*$' "$2" 2>/dev/null | tail -n 1 || true)
    if [ -n "$last" ]; then
        echo "$why: $last"
    else
        echo "$why"
    fi
}

# Runs lv2bench on one peer and keeps its result line "<block> <frames> <seconds> <uri>" in $2.
# A failed run, or one that printed no such line, stops the script with a one-line error.
peer_run() { # uri file
    status=0
    lv2bench -f -b "$BLOCK" -n "$FRAMES" "$1" >"$2.out" 2>"$2.err" || status=$?
    tail -n 1 "$2.out" >"$2"
    if [ "$status" -ne 0 ]; then
        echo "bench_peers: lv2bench failed on $1 ($(failure "$status" "$2.err"))" >&2
        exit 1
    fi
    if ! awk -v uri="$1" 'NF == 4 && $1 ~ /^[0-9]+$/ && $2 ~ /^[0-9]+$/ && $2 > 0 &&
                          $3 ~ /^[0-9]*[.]?[0-9]+([eE][-+]?[0-9]+)?$/ && $3 > 0 && $4 == uri { ok = 1 }
                          END { exit !ok }' "$2"; then
        echo "bench_peers: lv2bench gave no timing for $1 (last line: '$(cat "$2")')" >&2
        exit 1
    fi
}

rep=1
while [ "$rep" -le "$REPS" ]; do
    status=0
    PELMOR_BENCH_FRAMES=$FRAMES "$BENCH" --benchmark_filter='^BM_Process' --benchmark_format=json \
        >"$tmp/engine.$rep.json" 2>"$tmp/engine.$rep.err" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "bench_peers: $BENCH failed ($(failure "$status" "$tmp/engine.$rep.err"))" >&2
        exit 1
    fi
    peer_run "$SATURATOR" "$tmp/saturator.$rep"
    peer_run "$TAPE" "$tmp/tape.$rep"
    rep=$((rep + 1))
done

python3 - "$tmp" "$REPS" "$FRAMES" "$BLOCK" "$CHECK" <<'PY'
import json, statistics, sys

tmp, reps, frames, block, check = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5] == "1"
scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

def peer(name):
    values = []
    for r in range(1, reps + 1):
        fields = open(f"{tmp}/{name}.{r}").read().split()
        # "<block> <frames> <seconds> <uri>"
        values.append(float(fields[2]) * 1e9 / int(fields[1]))
    return statistics.median(values)

engine = {}  # (variant, quality) -> list of (wall ns/frame, cpu ns/frame)
for r in range(1, reps + 1):
    for b in json.load(open(f"{tmp}/engine.{r}.json"))["benchmarks"]:
        if b.get("error_occurred"):
            continue
        parts = b["name"].split("/")
        quality = int(parts[1].split(":")[1])
        k = scale[b["time_unit"]] / block
        engine.setdefault((parts[0], quality), []).append((b["real_time"] * k, b["cpu_time"] * k))

sat, tape = peer("saturator"), peer("tape")
labels = ["x1", "x4", "x8"]
targets = [0.35, 1.0, 2.0]
print(f"Pelmor engine against Calf, 48 kHz stereo, {block}-frame blocks, {frames} frames per run, "
      f"median of {reps} interleaved runs (wall-clock)")
print(f"  Calf Saturator      {sat:8.1f} ns/frame")
print(f"  Calf Tape Simulator {tape:8.1f} ns/frame")
print()
print(f"  {'engine':<22}{'quality':<9}{'ns/frame':>9}{'(cpu)':>9}{'/ Saturator':>13}{'/ Tape Sim.':>13}{'target':>9}")
missed = False
for variant, title in (("BM_Process", "best instruction set"), ("BM_ProcessBaseline", "x86-64 baseline")):
    for q in range(3):
        runs = engine.get((variant, q))
        if not runs:
            continue
        wall = statistics.median(v[0] for v in runs)
        cpu = statistics.median(v[1] for v in runs)
        mark = ""
        if variant == "BM_Process":
            ok = wall / sat <= targets[q]
            missed |= not ok
            mark = f"<= {targets[q]:.2f} {'ok' if ok else 'MISSED'}"
        print(f"  {title:<22}{labels[q]:<9}{wall:9.1f}{cpu:9.1f}{wall / sat:13.3f}{wall / tape:13.3f}  {mark}")
if check and missed:
    sys.exit(1)
PY
