#!/usr/bin/env bash
# rivetta against cp, in one run:
#   large: a progressive movie of at least 1 GiB rewritten with examples/handset.ini
#          (MQV=2, Build_mfra=1, Build_edts=1);
#   frag:  a fragmented movie of at least 10,000 fragments rewritten with an atom
#          inserted into every "\moof\traf\" and Build_mfra=1.
# For each: the ratio of rivetta's time to cp's on the same file (medians of
# interleaved runs) and rivetta's peak RSS; each output must parse with ffprobe
# and hold exactly the packets of its input.
#
# Environment:
#   RIVETTA_BENCH_DATA   folder for generated inputs and outputs (default bench/.data)
#   RIVETTA_BENCH_RUNS   timed runs of each command per case (default 7)
#   RIVETTA_BENCH_BUILD  build folder for a Release rivetta (default build-bench)
#   RIVETTA_BIN          a rivetta to measure instead of building one
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DATA=${RIVETTA_BENCH_DATA:-$ROOT/bench/.data}
RUNS=${RIVETTA_BENCH_RUNS:-7}
BUILD=${RIVETTA_BENCH_BUILD:-$ROOT/build-bench}
TIME=/usr/bin/time

# Targets from the issue: ratio to cp and peak RSS.
LARGE_TARGET=1.15
FRAG_TARGET=1.30
RSS_TARGET_KIB=$((32 * 1024))

MIN_LARGE_BYTES=$((1024 * 1024 * 1024))
MIN_FRAGMENTS=10000

say() { printf '%s\n' "$*" >&2; }
die() { say "rivetta_bench: $*"; exit 2; }

# --- tools ----------------------------------------------------------------
need_packages=()
command -v ffmpeg >/dev/null || need_packages+=(ffmpeg)
[ -x "$TIME" ] || need_packages+=(time)
if [ -z "${RIVETTA_BIN:-}" ]; then
  command -v cmake >/dev/null || need_packages+=(cmake)
  command -v ninja >/dev/null || need_packages+=(ninja-build)
fi
if [ ${#need_packages[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || die "missing packages: ${need_packages[*]}"
  say "installing ${need_packages[*]}"
  apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_packages[@]}" >/dev/null
fi

if [ -n "${RIVETTA_BIN:-}" ]; then
  RIVETTA=$RIVETTA_BIN
else
  say "building rivetta (Release) in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DLUNVIK_PRESSOVA=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
  ninja -C "$BUILD" rivetta >/dev/null
  RIVETTA=$BUILD/rivetta/rivetta
fi
[ -x "$RIVETTA" ] || die "no rivetta at $RIVETTA"

mkdir -p "$DATA"
DATA=$(cd "$DATA" && pwd)
OUT=$DATA/out
rm -rf "$OUT"
mkdir -p "$OUT"
trap 'rm -rf "$OUT"' EXIT

# Inputs (kept between runs) plus one output at a time.
avail_kib=$(df -Pk "$DATA" | awk 'NR == 2 { print $4 }')
have_large=0
[ -f "$DATA/large.mp4" ] && have_large=1
need_kib=$(( (have_large ? 2 : 4) * 1024 * 1024 ))
[ "$avail_kib" -ge "$need_kib" ] || die "need $((need_kib / 1024)) MiB free under $DATA, have $((avail_kib / 1024)) MiB"

# --- inputs -----------------------------------------------------------------
file_size() { stat -c %s "$1"; }

# Progressive movie, moov at the end, > 1 GiB: a 4-second clip of noisy 720p
# MPEG-4 Visual at the finest quantiser (cheap to encode, about 28 MiB/s) plus
# AAC, repeated by stream copy until the total passes 1.1 GB.
make_large() {
  local clip=$DATA/clip.mp4 tmp=$DATA/large.tmp.mp4
  say "generating large.mp4 (> 1 GiB)"
  ffmpeg -v error -y -f lavfi -i testsrc=size=1280x720:rate=25 \
    -f lavfi -i sine=frequency=440:sample_rate=44100 -t 4 \
    -vf noise=alls=60:allf=t -c:v mpeg4 -q:v 1 -g 25 -c:a aac -b:a 128k "$clip"
  local clip_bytes copies
  clip_bytes=$(file_size "$clip")
  copies=$(( (MIN_LARGE_BYTES + MIN_LARGE_BYTES / 10) / clip_bytes + 1 ))
  ffmpeg -v error -y -stream_loop $((copies - 1)) -i "$clip" -map 0 -c copy "$tmp"
  rm -f "$clip"
  mv "$tmp" "$DATA/large.mp4"
}

# Fragmented movie: 120 s of small 100 fps video with a key frame every frame,
# so "frag_keyframe" starts a fragment at each of the 12,000 frames; AAC audio
# gives a second "traf" in most fragments. ffmpeg writes an "mfra" at the end.
make_frag() {
  local tmp=$DATA/frag.tmp.mp4
  say "generating frag.mp4 (12,000 fragments)"
  ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=100 \
    -f lavfi -i sine=frequency=440:sample_rate=44100 -t 120 \
    -c:v mpeg4 -q:v 1 -g 1 -c:a aac -b:a 64k -movflags frag_keyframe+empty_moov "$tmp"
  mv "$tmp" "$DATA/frag.mp4"
}

[ -f "$DATA/large.mp4" ] || make_large
[ -f "$DATA/frag.mp4" ] || make_frag

# Atom counts as ffprobe's mov reader walks them ("type:'moof' parent:'root'").
count_atoms() {  # file type parent
  ffprobe -v trace "$1" 2>&1 | grep -c "type:'$2' parent:'$3'" || true
}

large_bytes=$(file_size "$DATA/large.mp4")
[ "$large_bytes" -ge "$MIN_LARGE_BYTES" ] || die "large.mp4 has only $large_bytes bytes"
fragments=$(count_atoms "$DATA/frag.mp4" moof root)
[ "$fragments" -ge "$MIN_FRAGMENTS" ] || die "frag.mp4 has only $fragments fragments"
trafs=$(count_atoms "$DATA/frag.mp4" traf moof)

# Settings for the fragmented case: a 12-byte "free" at the end of every
# "\moof\traf\" and a new "mfra".
FRAG_INI=$DATA/frag.ini
cat > "$FRAG_INI" <<'EOF'
[Config]
Title=Benchmark: an atom in every traf, new mfra
Build_mfra=1

[InsertAtom]
Item0=/moof/traf/free%00%00%00%00
EOF
LARGE_INI=$ROOT/examples/handset.ini

# --- measuring ----------------------------------------------------------------
# One timed command under /usr/bin/time -v: prints "microseconds rss_kib".
# Its output file is removed and dirty pages written back first, untimed, so
# each run starts from the same state; the input stays in the page cache.
timed() {  # dst command...
  local dst=$1
  shift
  rm -f "$dst"
  sync
  local start end status=0
  start=$(date +%s%N)
  "$TIME" -v -o "$OUT/time.txt" "$@" >"$OUT/log.txt" 2>&1 || status=$?
  end=$(date +%s%N)
  if [ "$status" != 0 ]; then
    cat "$OUT/log.txt" >&2
    die "exit status $status from: $*"
  fi
  local rss
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$OUT/time.txt")
  echo "$(( (end - start) / 1000 )) $rss"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
minimum() { sort -n | head -1; }

FAILED=0
check() {  # description command...
  local what=$1
  shift
  if "$@"; then say "  ok: $what"; else say "  FAIL: $what"; FAILED=1; fi
}

# The rewritten movie must parse without a message and hold the same packets
# (stream copy, so every sample is found through the corrected offsets).
verify_output() {  # input output
  check "ffprobe -v error reads the output without a message" probes_clean "$2"
  check "the output's packets equal the input's (framemd5, stream copy)" same_packets "$1" "$2"
}

probes_clean() {  # file
  local errors status=0
  errors=$(ffprobe -v error "$1" 2>&1 >/dev/null) || status=$?
  [ -z "$errors" ] || say "$(printf '%s\n' "$errors" | head -5)"
  [ -z "$errors" ] && [ "$status" = 0 ]
}

# Every packet with its checksum. Edit lists are ignored: Build_edts gives
# each track a new one, which changes what a player presents, not the samples.
packet_list() {
  ffmpeg -v error -ignore_editlist 1 -i "$1" -map 0 -c copy -f framemd5 - 2>&1
}

same_packets() {  # input output
  cmp -s <(packet_list "$1") <(packet_list "$2")
}

at_least() { [ "$1" -ge "$2" ]; }
equal() { [ "$1" = "$2" ]; }
first_top_level_is_uuid() {
  local trace
  trace=$(ffprobe -v trace "$1" 2>&1 | grep "parent:'root'" || true)
  [[ "$(printf '%s\n' "$trace" | head -1)" == *"type:'uuid'"* ]]
}

# ffprobe names the "mfra" but not its children: its size tells the entries of
# the one "tfra" (header 8 + 16, 11 bytes an entry) beside the 16-byte "mfro".
mfra_entries() {
  ffprobe -v trace "$1" 2>&1 | awk "/type:'mfra' parent:'root'/ { print (\$(NF - 2) - 8 - 24 - 16) / 11 }"
}

# Runs cp and rivetta RUNS times each, alternating which goes first, after one
# untimed warm-up of each. Sets RESULT_* for the case.
bench_case() {  # name input settings
  local name=$1 input=$2 settings=$3
  local cp_out=$OUT/$name.cp.mp4 rv_out=$OUT/$name.rivetta.mp4
  local cp_times=() rv_times=() rv_rss=() cp_rss=()
  say "$name: $(file_size "$input") bytes, $RUNS runs of each"
  timed "$cp_out" cp "$input" "$cp_out" >/dev/null
  timed "$rv_out" "$RIVETTA" "$input" "$rv_out" "$settings" >/dev/null
  local i t r
  # Each timed run starts with neither output present: a gigabyte-sized copy
  # left by the other command would otherwise crowd the page cache of one
  # command's run and not the other's.
  for ((i = 1; i <= RUNS; i++)); do
    rm -f "$cp_out" "$rv_out"
    if ((i % 2)); then
      read -r t r < <(timed "$cp_out" cp "$input" "$cp_out"); cp_times+=("$t"); cp_rss+=("$r")
      rm -f "$cp_out"
      read -r t r < <(timed "$rv_out" "$RIVETTA" "$input" "$rv_out" "$settings"); rv_times+=("$t"); rv_rss+=("$r")
    else
      read -r t r < <(timed "$rv_out" "$RIVETTA" "$input" "$rv_out" "$settings"); rv_times+=("$t"); rv_rss+=("$r")
      rm -f "$rv_out"
      read -r t r < <(timed "$cp_out" cp "$input" "$cp_out"); cp_times+=("$t"); cp_rss+=("$r")
    fi
  done
  rm -f "$cp_out"
  # The output checked below: the last timed one, or a fresh one (untimed).
  [ -f "$rv_out" ] || "$RIVETTA" "$input" "$rv_out" "$settings" >/dev/null
  RESULT_CP=$(printf '%s\n' "${cp_times[@]}" | median)
  RESULT_RV=$(printf '%s\n' "${rv_times[@]}" | median)
  RESULT_CP_BEST=$(printf '%s\n' "${cp_times[@]}" | minimum)
  RESULT_RV_BEST=$(printf '%s\n' "${rv_times[@]}" | minimum)
  RESULT_RSS=$(printf '%s\n' "${rv_rss[@]}" | sort -n | tail -1)
  RESULT_CP_RSS=$(printf '%s\n' "${cp_rss[@]}" | sort -n | tail -1)
  RESULT_RATIO=$(awk -v a="$RESULT_RV" -v b="$RESULT_CP" 'BEGIN { printf "%.3f", a / b }')
  RESULT_RATIO_BEST=$(awk -v a="$RESULT_RV_BEST" -v b="$RESULT_CP_BEST" 'BEGIN { printf "%.3f", a / b }')
  say "  cp      median $((RESULT_CP / 1000)) ms (best $((RESULT_CP_BEST / 1000)) ms), runs: ${cp_times[*]} us"
  say "  rivetta median $((RESULT_RV / 1000)) ms (best $((RESULT_RV_BEST / 1000)) ms), runs: ${rv_times[*]} us"
  say "  ratio rivetta/cp: $RESULT_RATIO median, $RESULT_RATIO_BEST best; rivetta peak RSS $RESULT_RSS KiB"
  say "  checking the output of the last run"
  verify_output "$input" "$rv_out"
}

target_line() {  # name ratio target rss
  local ratio_ok rss_ok
  ratio_ok=$(awk -v r="$2" -v t="$3" 'BEGIN { print (r <= t) ? "met" : "MISSED" }')
  rss_ok=$([ "$4" -lt "$RSS_TARGET_KIB" ] && echo met || echo MISSED)
  printf '%-6s ratio %s (target <= %s: %s), peak RSS %.1f MiB (target < 32 MiB: %s)\n' \
    "$1" "$2" "$3" "$ratio_ok" "$(awk -v k="$4" 'BEGIN { print k / 1024 }')" "$rss_ok"
}

say "rivetta: $RIVETTA"
say "machine: $(nproc) cores; $(df -PT "$DATA" | awk 'NR == 2 { print $2 }') under $DATA"

bench_case large "$DATA/large.mp4" "$LARGE_INI"
out=$OUT/large.rivetta.mp4
check "an edit list in both media tracks" at_least "$(count_atoms "$out" edts trak)" 2
check "the PROF uuid atom comes first" first_top_level_is_uuid "$out"
rm -f "$out"
L_RATIO=$RESULT_RATIO L_RSS=$RESULT_RSS L_CP=$RESULT_CP L_RV=$RESULT_RV L_BEST=$RESULT_RATIO_BEST

bench_case frag "$DATA/frag.mp4" "$FRAG_INI"
out=$OUT/frag.rivetta.mp4
check "a free atom in each of the $trafs trafs" equal "$(count_atoms "$out" free traf)" "$trafs"
check "a new mfra with one entry per fragment" equal "$(mfra_entries "$out")" "$fragments"
rm -f "$out"
F_RATIO=$RESULT_RATIO F_RSS=$RESULT_RSS F_CP=$RESULT_CP F_RV=$RESULT_RV F_BEST=$RESULT_RATIO_BEST

echo "rivetta benchmark ($RUNS interleaved runs each, medians; page cache warm)"
printf 'large: %s bytes, cp %d ms, rivetta %d ms (best-of ratio %s)\n' "$large_bytes" $((L_CP / 1000)) $((L_RV / 1000)) "$L_BEST"
printf 'frag:  %s fragments, %s trafs, cp %d ms, rivetta %d ms (best-of ratio %s)\n' "$fragments" "$trafs" $((F_CP / 1000)) $((F_RV / 1000)) "$F_BEST"
target_line large "$L_RATIO" "$LARGE_TARGET" "$L_RSS"
target_line frag "$F_RATIO" "$FRAG_TARGET" "$F_RSS"
if [ "$FAILED" != 0 ]; then
  echo "correctness: FAILED (see above)"
  exit 1
fi
echo "correctness: every output parses and holds its input's packets"
