#!/usr/bin/env bash
# Makes a small 3GP with ffmpeg and shows rivetta's track report on it.
set -euo pipefail
build=${1:-build}
out=demo-out
mkdir -p "$out"
if [ ! -f "$out/sample.3gp" ]; then
  ffmpeg -loglevel error -y -f lavfi -i testsrc=size=176x144:rate=15 -f lavfi -i sine=frequency=440:sample_rate=16000 \
    -t 3 -c:v mpeg4 -b:v 64k -c:a aac -b:a 24k -ac 1 -ar 16000 "$out/sample.3gp"
fi
echo "\$ rivetta $out/sample.3gp $out/rewritten.3gp"
LUNVIK_CODEPAGE=UTF-8 "$build/rivetta/rivetta" "$out/sample.3gp" "$out/rewritten.3gp" | tr -d '\r'
