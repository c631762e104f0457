#!/usr/bin/env bash
# The demo: makes a small 3GP with ffmpeg, rewrites it with the handset
# example settings, and shows what changed: rivetta's console, the top of
# the atom tree before and after, and that the media still reads the same.
# Then pressova exports the same sample as a 3GP with AMR-NB sound.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/demo-out"
rivetta="$root/$build/rivetta/rivetta"
mkdir -p "$out"
if [ ! -s "$out/sample.3gp" ]; then
  ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=176x144:rate=15 \
    -f lavfi -i sine=frequency=440:sample_rate=16000 -t 3 \
    -c:v mpeg4 -b:v 64k -c:a aac -b:a 24k -ac 1 -ar 16000 "$out/sample.3gp"
fi

# The top two levels of a movie's atom tree, with sizes.
atoms() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
containers = {b'moov', b'trak', b'moof', b'traf', b'mfra', b'udta', b'edts'}
def walk(start, end, depth):
    at = start
    while at + 8 <= end:
        size, kind = struct.unpack('>I4s', data[at:at + 8])
        if size < 8: break
        extra = data[at + 8:at + 12].decode('latin-1') if kind == b'uuid' else ''
        print('  ' * (depth + 1) + kind.decode('latin-1') + (' ' + extra if extra else '') + f' ({size} bytes)')
        if kind in containers and size >= 16 and depth < 1:
            walk(at + 8, at + size, depth + 1)
        at += size
walk(0, len(data), 0)
PY
}

echo "\$ rivetta demo-out/sample.3gp demo-out/handset.3gp examples/handset.ini"
# Shown in UTF-8 for this terminal; the programs write Shift_JIS by default.
LUNVIK_CODEPAGE=UTF-8 "$rivetta" "$out/sample.3gp" "$out/handset.3gp" "$root/examples/handset.ini" \
  | tr -d '\r' || echo "(exit status $?)"
echo
echo "Atoms of the input:"
atoms "$out/sample.3gp"
echo
echo "Atoms of the output:"
atoms "$out/handset.3gp"
echo
if diff -q <(ffmpeg -nostdin -loglevel error -ignore_editlist 1 -i "$out/sample.3gp" -map 0 -c copy -f framemd5 - 2>/dev/null) \
           <(ffmpeg -nostdin -loglevel error -ignore_editlist 1 -i "$out/handset.3gp" -map 0 -c copy -f framemd5 - 2>/dev/null) >/dev/null; then
  echo "Every sample of the output reads the same as the input's (ffmpeg framemd5)."
else
  echo "The samples differ from the input's!"
  exit 1
fi
ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate -of compact "$out/handset.3gp"

echo
echo "\$ pressova demo-out/sample.3gp demo-out/amr.3gp -c examples/pressova-3gpp-amr.ini"
LUNVIK_CODEPAGE=UTF-8 "$root/$build/pressova/pressova" "$out/sample.3gp" "$out/amr.3gp" \
  -c "$root/examples/pressova-3gpp-amr.ini" </dev/null | tr -d '\r' || echo "(exit status $?)"
ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate,channels -of compact "$out/amr.3gp"
