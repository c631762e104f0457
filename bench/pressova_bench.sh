#!/usr/bin/env bash
# Times pressova against the ffmpeg command doing the same work, in one run:
#   a 3gpp export (MPEG-4 Visual 176x144 15 fps 64 kbps, AAC 16 kHz mono 24 kbps)
#   a flattening (every stream copied, movie header before the media data)
# Usage: bench/pressova_bench.sh [build folder] [seconds of input] [runs]
set -euo pipefail
build=${1:-build}
seconds=${2:-60}
runs=${3:-5}
program=$(realpath "$build/pressova/pressova")
work=$(mktemp -d /tmp/pressova-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

# The input: VGA MPEG-4 Visual at 30 fps with stereo AAC at 44.1 kHz.
ffmpeg -nostdin -loglevel error -y -f lavfi -i "testsrc2=size=640x480:rate=30" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100" -t "$seconds" \
  -c:v mpeg4 -q:v 4 -c:a aac -ac 2 -b:a 128k "$work/in.mp4"
printf '[0]\r\nchilds=0\r\n' > "$work/s.ini"

# Wall-clock seconds of one run of a command.
timed() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }'
}

# Best of the runs of two commands, run in turn so that a busy moment of the
# machine falls on both alike.
best_of_both() {
  local a="" b="" t
  for _ in $(seq "$runs"); do
    t=$(timed "$1"); a=$(awk -v t="$t" -v m="${a:-inf}" 'BEGIN { print (m == "inf" || t < m) ? t : m }')
    t=$(timed "$2"); b=$(awk -v t="$t" -v m="${b:-inf}" 'BEGIN { print (m == "inf" || t < m) ? t : m }')
  done
  printf '%.3f %.3f\n' "$a" "$b"
}

export_pressova() { (cd "$work" && "$program" in.mp4 p.3gp -c "$work/s.ini"); }
export_ffmpeg() {
  ffmpeg -nostdin -loglevel error -y -i "$work/in.mp4" -c:v mpeg4 -b:v 64k -s 176x144 -r 15 -g 15 -bf 0 \
    -c:a aac -ar 16000 -ac 1 -b:a 24k -f 3gp "$work/f.3gp"
}
flatten_pressova() { (cd "$work" && "$program" in.mp4 p.mov -f); }
flatten_ffmpeg() {
  ffmpeg -nostdin -loglevel error -y -i "$work/in.mp4" -map 0 -c copy -movflags faststart -f mov "$work/f.mov"
}

echo "input: $seconds s of 640x480 30 fps MPEG-4 Visual + AAC stereo, $(stat -c %s "$work/in.mp4") bytes; best of $runs"
printf '%-10s %10s %10s %7s\n' job pressova ffmpeg ratio
for job in export flatten; do
  read -r p f < <(best_of_both "${job}_pressova" "${job}_ffmpeg")
  printf '%-10s %9ss %9ss %7.2f\n' "$job" "$p" "$f" "$(awk -v p="$p" -v f="$f" 'BEGIN { print p / f }')"
done
