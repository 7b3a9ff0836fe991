#!/usr/bin/env bash
# Broken-media corpus: makes damaged copies of the generated test videos (deterministically: fixed
# seeds, no randomness from the machine), runs every export over each one under Wine with a time
# limit (torture.exe corpus) and prints the outcome table. Fails when a file crashes or hangs a
# call, or a result breaks a rule of the interface.
#
# Usage: corpus.sh [--soak] WIN64_DIR MEDIA_DIR WORK_DIR WINEPREFIX
#   --soak   a larger corpus (more cut points, seeds and sources)
# Environment: CORPUS_TIMEOUT (the plug-in's "timeout" setting, default 4 s), CORPUS_DEADLINE
# (seconds per file, default 15; a file takes about half a second, one on which the platform hangs
# about one timeout: later calls on it are refused at once).
set -euo pipefail

size=quick
if [ "${1:-}" = "--soak" ]; then
  size=soak
  shift
fi
if [ $# -ne 4 ]; then
  echo "usage: $0 [--soak] WIN64_DIR MEDIA_DIR WORK_DIR WINEPREFIX" >&2
  exit 2
fi
win64=$(realpath "$1")
media=$(realpath "$2")
work=$(realpath -m "$3")
prefix=$(realpath -m "$4")
root=$(realpath "$(dirname "$0")/../..")
deadline=${CORPUS_DEADLINE:-15}
limit=${CORPUS_TIMEOUT:-4}
corpus=$work/corpus-$size
export LC_ALL=C

# ---- Byte surgery with dd, od and printf only ---------------------------------------------------

seed=1
# A linear congruential generator on 31 bits: the same numbers on every machine.
next_random() { seed=$(((seed * 1103515245 + 12345) % 2147483648)); }
# random_below N: sets r to a number in [0, N).
random_below() {
  next_random
  r=$(((seed >> 8) % $1))
}
seed_from() { seed=$(printf '%s' "$1" | cksum | cut -d' ' -f1); }

file_size() { stat -c %s "$1"; }
get_byte() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
put_byte() { printf "\\$(printf %03o "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
# put_le FILE OFFSET BYTES VALUE / put_be: integers of BYTES bytes.
put_le() {
  local i
  for ((i = 0; i < $3; i++)); do put_byte "$1" $(($2 + i)) $((($4 >> (8 * i)) & 255)); done
}
put_be() {
  local i
  for ((i = 0; i < $3; i++)); do put_byte "$1" $(($2 + i)) $((($4 >> (8 * ($3 - 1 - i))) & 255)); done
}
put_hex() { # put_hex FILE OFFSET HEXBYTES
  local i hex=$3
  for ((i = 0; i < ${#hex}; i += 2)); do put_byte "$1" $(($2 + i / 2)) $((16#${hex:i:2})); done
}
zero_range() {
  dd if=/dev/zero of="$1" bs=4096 seek="$2" count="$3" oflag=seek_bytes iflag=count_bytes \
    conv=notrunc status=none
}
# offset_of FILE PATTERN [NTH]: byte offset of the NTH (default 1st) match of a grep -P pattern.
offset_of() {
  grep -obUaP "$2" "$1" | sed -n "${3:-1}p" | cut -d: -f1
}

# flip FILE FROM TO COUNT: COUNT bytes in [FROM, TO) xor-ed with a non-zero mask.
flip() {
  local k offset
  for ((k = 0; k < $4; k++)); do
    random_below $(($3 - $2))
    offset=$(($2 + r))
    random_below 255
    put_byte "$1" "$offset" $(($(get_byte "$1" "$offset") ^ (r + 1)))
  done
}

# ---- The corpus -------------------------------------------------------------------------------

# derive NAME SOURCE: copies SOURCE to the corpus as NAME and seeds the generator by NAME.
derive() {
  cp "$2" "$corpus/$1"
  seed_from "$1"
  out=$corpus/$1
}

make_sources() {
  local src=$corpus/.src
  mkdir -p "$src"
  # The moov box first, as streaming files have it: a cut then leaves an index that points past
  # the end instead of no index at all.
  ffmpeg -nostdin -hide_banner -loglevel error -y -i "$media/len10s.mp4" -c copy \
    -movflags +faststart "$src/fast.mp4"
  cp "$media/len10s.mp4" "$src/tail.mp4"
  cp "$media/len10s.avi" "$src/part2.avi"
  cp "$media/len10s.mkv" "$src/h264.mkv"
  cp "$media/len10s.wmv" "$src/wmv8.wmv"
  cp "$media/odd161.avi" "$src/odd.avi"
  cp "$media/wide322.mp4" "$src/wide.mp4"
  # Mid-stream size change: two H.264 runs of different sizes, parameter sets in band.
  local size
  for size in 320x240 640x480; do
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc=s=$size:r=10:d=2" \
      -c:v libx264 -preset ultrafast -g 10 -pix_fmt yuv420p -bsf:v h264_mp4toannexb -f h264 \
      "$src/$size.h264"
  done
  cat "$src/320x240.h264" "$src/640x480.h264" >"$src/grow.h264"
  ffmpeg -nostdin -hide_banner -loglevel error -y -r 10 -f h264 -i "$src/grow.h264" -c copy \
    "$src/grow.mp4"
  ffmpeg -nostdin -hide_banner -loglevel error -y -r 10 -f h264 -i "$src/grow.h264" -c copy \
    "$src/grow.mkv"
  # 64 KiB of noise from a seeded generator.
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi \
    -i "anoisesrc=d=1:c=white:seed=7:r=32768:a=1" -f s16le -ac 1 "$src/noise.raw"
}

make_damaged() { # make_damaged SOURCE EXTENSION CUTS FLIP_SEEDS
  local name=$1 ext=$2 cuts=$3 seeds=$4 src=$corpus/.src/$1.$2 bytes k i
  bytes=$(file_size "$src")
  for ((k = 1; k <= cuts; k++)); do
    # Evenly spread cut points, plus one just short of the end.
    i=$((bytes * k / (cuts + 1)))
    derive "cut-$name-$i.$ext" "$src"
    truncate -s "$i" "$out"
  done
  derive "cut-$name-last.$ext" "$src"
  truncate -s $((bytes - 1)) "$out"
  for ((k = 1; k <= seeds; k++)); do
    derive "flip-head-$name-$k.$ext" "$src"
    flip "$out" 0 $((bytes < 1024 ? bytes : 1024)) 4
    derive "flip-body-$name-$k.$ext" "$src"
    flip "$out" $((bytes / 3)) $((bytes * 2 / 3)) 24
  done
  derive "zero-body-$name.$ext" "$src"
  zero_range "$out" $((bytes * 2 / 5)) $((bytes / 5))
  derive "zero-head-$name.$ext" "$src"
  zero_range "$out" 0 64
}

make_lies() {
  local src=$corpus/.src p
  # MP4 (the moov-first copy): durations, time scales, sizes and sample tables that lie.
  p=$(offset_of "$src/fast.mp4" mvhd)
  derive lie-mp4-duration-0.mp4 "$src/fast.mp4"
  put_be "$out" $((p + 20)) 4 0
  derive lie-mp4-duration-max.mp4 "$src/fast.mp4"
  put_be "$out" $((p + 20)) 4 4294967295
  p=$(offset_of "$src/fast.mp4" mdhd)
  derive lie-mp4-timescale-0.mp4 "$src/fast.mp4"
  put_be "$out" $((p + 16)) 4 0
  derive lie-mp4-track-duration-max.mp4 "$src/fast.mp4"
  put_be "$out" $((p + 20)) 4 4294967295
  put_be "$out" $(($(offset_of "$src/fast.mp4" tkhd) + 24)) 4 4294967295
  p=$(offset_of "$src/fast.mp4" avc1)
  derive lie-mp4-size-huge.mp4 "$src/fast.mp4"
  put_be "$out" $((p + 28)) 2 65535
  put_be "$out" $((p + 30)) 2 65535
  put_be "$out" $(($(offset_of "$src/fast.mp4" tkhd) + 80)) 8 0xFFFF0000FFFF0000
  derive lie-mp4-size-0.mp4 "$src/fast.mp4"
  put_be "$out" $((p + 28)) 4 0
  derive lie-mp4-sample-count.mp4 "$src/fast.mp4"
  put_be "$out" $(($(offset_of "$src/fast.mp4" stsz) + 12)) 4 2147483647
  # AVI: frame counts, rates and sizes.
  p=$(offset_of "$src/part2.avi" avih)
  derive lie-avi-frames-max.avi "$src/part2.avi"
  put_le "$out" $((p + 24)) 4 4294967295
  put_le "$out" $(($(offset_of "$src/part2.avi" strh) + 40)) 4 4294967295
  derive lie-avi-rate-0.avi "$src/part2.avi"
  put_le "$out" $(($(offset_of "$src/part2.avi" strh) + 32)) 4 0
  derive lie-avi-scale-0.avi "$src/part2.avi"
  put_le "$out" $(($(offset_of "$src/part2.avi" strh) + 28)) 4 0
  derive lie-avi-size-huge.avi "$src/part2.avi"
  put_le "$out" $((p + 40)) 4 40000
  put_le "$out" $((p + 44)) 4 30000
  put_le "$out" $(($(offset_of "$src/part2.avi" strf) + 12)) 8 0x0000753000009C40
  derive lie-avi-size-small.avi "$src/part2.avi"
  put_le "$out" $(($(offset_of "$src/part2.avi" strf) + 12)) 8 0x0000001000000010
  derive lie-avi-top-down.avi "$src/part2.avi"
  put_le "$out" $(($(offset_of "$src/part2.avi" strf) + 16)) 4 $((4294967296 - 240))
  derive lie-avi-index.avi "$src/part2.avi"
  put_le "$out" $(($(offset_of "$src/part2.avi" idx1) + 16)) 8 0x7FFFFFF07FFFFFF0
  # Matroska: a duration that is not a number, negative, or huge; a huge frame width.
  p=$(offset_of "$src/h264.mkv" '\x44\x89\x88')
  derive lie-mkv-duration-nan.mkv "$src/h264.mkv"
  put_hex "$out" $((p + 3)) 7FF8000000000000
  derive lie-mkv-duration-negative.mkv "$src/h264.mkv"
  put_hex "$out" $((p + 3)) BFF0000000000000
  derive lie-mkv-duration-huge.mkv "$src/h264.mkv"
  put_hex "$out" $((p + 3)) 7FEFFFFFFFFFFFFF
  derive lie-mkv-width-huge.mkv "$src/h264.mkv"
  put_hex "$out" $(($(offset_of "$src/h264.mkv" '\xB0\x82\x01\x40') + 2)) FFFF
  derive lie-mkv-timescale-0.mkv "$src/h264.mkv"
  put_hex "$out" $(($(offset_of "$src/h264.mkv" '\x2A\xD7\xB1\x83') + 4)) 000000
  # ASF: the file properties object's play duration, preroll and packet sizes.
  p=$(offset_of "$src/wmv8.wmv" '\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11')
  derive lie-wmv-duration-max.wmv "$src/wmv8.wmv"
  put_hex "$out" $((p + 64)) FFFFFFFFFFFFFF7F
  derive lie-wmv-preroll-huge.wmv "$src/wmv8.wmv"
  put_hex "$out" $((p + 80)) FFFFFFFFFFFFFF7F
  # Inputs on which Wine 8's source reader hangs every time or most times (ReadSample after a
  # frame size change; MFCreateSourceReaderFromURL on a chunk offset past the end or on ASF
  # packets of size 0) cost a deadline each, so only the soak corpus has them.
  if [ "$size" = soak ]; then
    p=$(offset_of "$src/wmv8.wmv" '\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11')
    derive lie-wmv-packet-0.wmv "$src/wmv8.wmv"
    put_le "$out" $((p + 92)) 8 0
    cp "$src/grow.mp4" "$corpus/lie-size-change.mp4"
    cp "$src/grow.mkv" "$corpus/lie-size-change.mkv"
    derive lie-mp4-chunk-offset.mp4 "$src/fast.mp4"
    put_be "$out" $(($(offset_of "$src/fast.mp4" stco) + 12)) 4 4294967280
  fi
}

make_others() {
  local src=$corpus/.src
  : >"$corpus/other-empty.mp4"
  printf '\0' >"$corpus/other-one-byte.avi"
  printf 'Not a video at all, just words.\n' >"$corpus/other-text.mp4"
  cp "$src/noise.raw" "$corpus/other-noise.wmv"
  # Right first bytes, then noise: the demultiplexers get further in.
  { printf '\0\0\0\x18ftypisom\0\0\x02\0isomiso2'; cat "$src/noise.raw"; } >"$corpus/other-ftyp-noise.mp4"
  { printf 'RIFF\xff\xff\xff\x7fAVI LIST'; cat "$src/noise.raw"; } >"$corpus/other-riff-noise.avi"
  { printf '\x1a\x45\xdf\xa3\x9f\x42\x86\x81\x01'; cat "$src/noise.raw"; } >"$corpus/other-ebml-noise.mkv"
  { printf '\x30\x26\xb2\x75\x8e\x66\xcf\x11\xa6\xd9\x00\xaa\x00\x62\xce\x6c'; cat "$src/noise.raw"; } \
    >"$corpus/other-asf-noise.wmv"
  # A program, and videos under each other's extensions.
  cp "$win64/Stillreel.sph" "$corpus/other-program.mp4"
  cp "$src/part2.avi" "$corpus/other-avi-named.mp4"
  cp "$src/tail.mp4" "$corpus/other-mp4-named.wmv"
  cp "$src/h264.mkv" "$corpus/other-mkv-named.avi"
  mkdir -p "$corpus/other-folder.mp4"
  # Beyond 2 and 4 GiB (sparse): a video followed by zeros, and nothing but zeros.
  cp "$src/tail.mp4" "$corpus/huge-tail-3g.mp4"
  truncate -s 3G "$corpus/huge-tail-3g.mp4"
  truncate -s 5G "$corpus/huge-zeros-5g.mp4"
}

make_corpus() {
  rm -rf "$corpus"
  mkdir -p "$corpus"
  make_sources
  # Undamaged sources: the rows of the table that show what success looks like.
  cp "$corpus/.src/fast.mp4" "$corpus/good-fast.mp4"
  cp "$corpus/.src/part2.avi" "$corpus/good-part2.avi"
  cp "$corpus/.src/wmv8.wmv" "$corpus/good-wmv8.wmv"
  if [ "$size" = quick ]; then
    make_damaged fast mp4 3 1
    make_damaged part2 avi 3 1
    make_damaged h264 mkv 2 1
    make_damaged wmv8 wmv 2 1
  else
    local name
    for name in fast.mp4 tail.mp4 part2.avi h264.mkv wmv8.wmv odd.avi wide.mp4; do
      make_damaged "${name%.*}" "${name##*.}" 15 6
    done
  fi
  make_lies
  make_others
}

# ---- Running ----------------------------------------------------------------------------------

winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

make_corpus
mapfile -t files < <(find "$corpus" -mindepth 1 -maxdepth 1 ! -name '.src' -printf '%f\n' | sort)
count=${#files[@]}
echo "corpus: $count files in $corpus"

log=$work/corpus-$size.log
: >"$log"
declare -A status why_of outcome_of millis
runs=0

# run_files FIRST LAST: runs torture.exe over files FIRST..LAST (indices into files), starting a
# new process after one that hangs or dies, and records each file's status:
#   OK, BAD (a rule broken), FLAKY (two probes of the file disagreed), HANG-ours, HANG-platform,
#   CRASH-ours, CRASH-platform, DIED (no word).
run_files() {
  local first=$1 last=$2 next=$1 output code line last_begun index verdict rest i args
  while [ "$next" -le "$last" ]; do
    args=()
    for ((i = next; i <= last; i++)); do args+=("$(winpath "$corpus/${files[i]}")"); done
    runs=$((runs + 1))
    # The watchdog inside ends a stuck file; this limit only guards against the watchdog itself.
    set +e
    output=$(timeout -k 10 $(((last - next + 1) * deadline + 120)) \
      "$root/cmake/wine-run.sh" "$prefix" "$win64/torture.exe" corpus --deadline "$deadline" \
      --settings "div=3;timeout=$limit" \
      "${args[@]}" 2>>"$log.stderr" | tr -d '\r')
    code=$?
    set -e
    printf '%s\n' "$output" >>"$log"
    last_begun=-1
    while IFS= read -r line; do
      case $line in
        "BEGIN "*) last_begun=$((next + ${line#BEGIN })) ;;
        "RESULT "*)
          read -r _ index verdict rest <<<"$line"
          i=$((next + index))
          status[$i]=$verdict
          outcome_of[$i]=$(sed -E 's/ why=.*//; s/ n=[0-9]+//; s/ ms=[0-9]+//' <<<"$rest")
          millis[$i]=$(sed -nE 's/.* ms=([0-9]+).*/\1/p' <<<"$rest")
          why_of[$i]=$(sed -nE 's/.* why=(.*)/\1/p' <<<"$rest")
          ;;
        "HANG "* | "CRASH "*) [ "$last_begun" -lt 0 ] || why_of[$last_begun]=${line#* } ;;
        "VERDICT "*) [ "$last_begun" -lt 0 ] || why_of[$last_begun]+=" / ${line#VERDICT }" ;;
        "END HANG "* | "END CRASH "*)
          [ "$last_begun" -lt 0 ] || status[$last_begun]=$(awk '{print $2 "-" $3}' <<<"$line")
          ;;
      esac
    done <<<"$output"
    if [ "$last_begun" -lt 0 ]; then
      echo "corpus: torture.exe did not start (exit $code):" >&2
      tail -5 <<<"$output" >&2
      exit 2
    fi
    if [ -z "${status[$last_begun]:-}" ]; then
      status[$last_begun]=DIED
      why_of[$last_begun]="the process ended (exit $code) without a word"
    fi
    next=$((last_begun + 1))
  done
}

started=$(date +%s)
run_files 0 $((count - 1))
# What the platform did once may not happen again: each file that hung, died or got different
# answers from two probes is run once more alone, and both outcomes are recorded.
retried=0
declare -A first_status first_why
for ((i = 0; i < count; i++)); do
  case ${status[$i]} in
    OK | BAD) ;;
    *)
      first_status[$i]=${status[$i]}
      first_why[$i]=${why_of[$i]}
      unset "status[$i]"
      run_files "$i" "$i"
      retried=$((retried + 1))
      ;;
  esac
done
elapsed=$(($(date +%s) - started))

# ---- The table --------------------------------------------------------------------------------

declare -A rows
ok=0 bad=0 ours=0 platform=0
for ((i = 0; i < count; i++)); do
  s=${status[$i]}
  key=${outcome_of[$i]:-$s}
  [ -z "${first_status[$i]:-}" ] || key="${first_status[$i]}, then on retry: $key"
  # Every call must return within the plug-in's time limit, whoever's code never returns: a hang
  # of the platform's fails the run as one of ours does.
  case "${first_status[$i]:-} $s" in
    *-ours* | *HANG-platform* | *BAD* | *DIED*) bad=$((bad + 1)) ;;
    *CRASH-platform* | *FLAKY*) platform=$((platform + 1)) ;;
    *) ok=$((ok + 1)) ;;
  esac
  rows[$key]=$((${rows[$key]:-0} + 1))
done
echo
slowest=$(printf '%s\n' "${millis[@]}" | sort -n | tail -1)
median=$(printf '%s\n' "${millis[@]}" | sort -n | sed -n "$(((${#millis[@]} + 1) / 2))p")
echo "corpus ($size): $count files tried in $elapsed s ($runs Wine processes, $retried retries):" \
  "$ok sound, $platform with a crash or changing answer of the platform's, $bad failed" \
  "(hangs included)"
echo "per file: median ${median:-?} ms, slowest ${slowest:-?} ms (deadline $deadline s)"
echo
echo "files  outcome: IsSupportedW, GetArchiveInfoW, GetFileInfoW, GetFileW to memory for each"
echo "       entry, GetFileW to a folder"
for key in "${!rows[@]}"; do printf '%5d  %s\n' "${rows[$key]}" "$key"; done | sort -k1,1nr -k2
echo
for ((i = 0; i < count; i++)); do
  if [ -n "${first_status[$i]:-}" ]; then
    printf '%-14s %s: %s\n' "${first_status[$i]}" "${files[i]}" "${first_why[$i]}"
  fi
  if [ "${status[$i]}" != OK ]; then
    printf '%-14s %s: %s\n' "${status[$i]}" "${files[i]}" "${why_of[$i]:-}"
  fi
done
if [ "$bad" -ne 0 ]; then
  echo "corpus: FAILED; stack dumps in $log"
  exit 1
fi
echo "corpus: passed"
