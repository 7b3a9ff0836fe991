#!/bin/sh
# Generates the test videos into the folder $1 (created if missing) from ffmpeg's built-in
# sources. Files that exist are kept; each new one is written under a temporary name and
# renamed, so an interrupted run leaves nothing half-made. Pass -v as $2 to see the steps.
#
# Moment videos show their own time. The picture is a 4 x 4 grid of equal cells (edges rounded
# to whole pixels), all gray (chroma 128). Luma is 235 in the top-left cell (the marker),
# 16 + 20 * (tenth of the second) in the bottom-left cell (the clock) and
# 16 + 3 * (whole second mod 64) in the others. Keyframes fall on every whole second. The light
# compression used here keeps these levels within a step or two.
set -eu

if [ $# -lt 1 ] || [ -z "$1" ]; then
  echo "usage: $0 MEDIA_DIR [-v]" >&2
  exit 2
fi
dir=$1
verbose=${2:-}
mkdir -p "$dir"

tmp=
trap 'if [ -n "$tmp" ]; then rm -f "$tmp"; fi' EXIT
trap 'exit 130' INT TERM HUP

say() {
  if [ "$verbose" = "-v" ]; then echo "$@"; fi
}

# generate NAME COMMAND...: runs COMMAND with "$tmp" as its output unless NAME exists.
# The temporary name keeps NAME's extension so that ffmpeg picks the container from it.
generate() {
  name=$1
  shift
  if [ -e "$dir/$name" ]; then return 0; fi
  say "making $name"
  tmp="$dir/.part$$.$name"
  "$@"
  mv -f "$tmp" "$dir/$name"
  tmp=
}

ff() {
  ffmpeg -nostdin -hide_banner -loglevel error -y "$@"
}

# Drawn as 4 x 4 pixels and scaled up without smoothing: geq is slow on large pictures.
# T + 0.01 keeps a frame at n / fps from rounding down into the tenth before it.
moment_filter="geq=lum='if(lt(X,1)*lt(Y,1),235,if(lt(X,1)*gte(Y,3),\
16+20*floor(mod(T+0.01,1)*10),16+3*mod(floor(T+0.01),64)))':cb=128:cr=128"

# moment_h264 WxH FPS SECONDS: H.264 moment video (mp4 or mkv by name).
moment_h264() {
  ff -f lavfi -i "nullsrc=s=4x4:r=$2:d=$3" -vf "$moment_filter,scale=$1:flags=neighbor" \
    -c:v libx264 -preset ultrafast -crf 12 -g "$2" -keyint_min "$2" -sc_threshold 0 \
    -pix_fmt yuv420p "$tmp"
}

# moment_bframes WxH FPS SECONDS: as moment_h264 with B-frames, whose time stamps Wine's reader
# gives late by the reorder delay.
moment_bframes() {
  ff -f lavfi -i "nullsrc=s=4x4:r=$2:d=$3" -vf "$moment_filter,scale=$1:flags=neighbor" \
    -c:v libx264 -preset medium -bf 3 -crf 12 -g "$2" -keyint_min "$2" -sc_threshold 0 \
    -pix_fmt yuv420p "$tmp"
}

# moment_gap: 320x240 10 fps moment video in Matroska whose stamps jump from 5 s to 6 s (the
# frames from 5 s on are stamped a second late): a break in the time line.
moment_gap() {
  ff -f lavfi -i "nullsrc=s=4x4:r=10:d=10" \
    -vf "$moment_filter,scale=320x240:flags=neighbor,setpts='if(gte(N,50),PTS+10,PTS)'" \
    -fps_mode passthrough -c:v libx264 -preset ultrafast -crf 12 -g 10 -keyint_min 10 \
    -sc_threshold 0 -pix_fmt yuv420p "$tmp"
}

# moment_part2 CODEC WxH SECONDS: 10 fps moment video in MPEG-4 part 2 or WMV 8.
moment_part2() {
  ff -f lavfi -i "nullsrc=s=4x4:r=10:d=$3" -vf "$moment_filter,scale=$2:flags=neighbor" \
    -c:v "$1" -q:v 2 -g 10 -pix_fmt yuv420p "$tmp"
}

# Detailed, moving pictures for the comparison with an independent decoder.
rich_h264() {
  ff -f lavfi -i "testsrc2=s=320x240:r=10:d=10" -c:v libx264 -preset ultrafast -crf 18 -g 10 \
    -pix_fmt yuv420p "$tmp"
}

# Every frame shows its own number n in binary: ten blocks across the top half, the most
# significant bit on the left, black (16) for 0 and white (235) for 1; the bottom half is gray.
# 10 fps, a key frame every GOP frames (10 s unless given) and BFRAMES B-frames (none unless
# given; with none, stamps and key-frame times are exact).
# numbered_h264 WxH SECONDS [GOP [BFRAMES]]
numbered_h264() {
  gop=${3:-100}
  ff -f lavfi -i "nullsrc=s=10x2:r=10:d=$2" \
    -vf "geq=lum='if(eq(Y,0),16+219*mod(floor(N/pow(2,9-X)),2),128)':cb=128:cr=128,\
scale=$1:flags=neighbor" \
    -c:v libx264 -preset ultrafast -crf 12 -g "$gop" -keyint_min "$gop" -sc_threshold 0 \
    -bf "${4:-0}" -pix_fmt yuv420p "$tmp"
}

# numbered_audio WxH SECONDS AUDIO_SECONDS: numbered_h264 with a key frame every second and a
# tone that runs on past the video, so the file lasts AUDIO_SECONDS.
numbered_audio() {
  ff -f lavfi -i "nullsrc=s=10x2:r=10:d=$2" -f lavfi -i "sine=frequency=440:duration=$3" \
    -vf "geq=lum='if(eq(Y,0),16+219*mod(floor(N/pow(2,9-X)),2),128)':cb=128:cr=128,\
scale=$1:flags=neighbor" \
    -c:v libx264 -preset ultrafast -crf 12 -g 10 -keyint_min 10 -sc_threshold 0 -bf 0 \
    -pix_fmt yuv420p -c:a aac -b:a 32k "$tmp"
}

# A detailed 1080-line picture (coded as 1088 lines by H.264), key frame every second.
hd_h264() {
  ff -f lavfi -i "testsrc2=s=1920x1080:r=10:d=3" -c:v libx264 -preset ultrafast -crf 18 \
    -g 10 -bf 0 -pix_fmt yuv420p "$tmp"
}

# ffmpeg's own decoding of frame $2 of video $1 as top-down BGRA (BT.601 studio range), the
# reference a delivered picture is matched against.
reference_frame() {
  ffmpeg -nostdin -hide_banner -loglevel error -y -i "$dir/$1" \
    -vf "select=eq(n\\,$2),scale=in_color_matrix=bt601:in_range=tv:out_range=pc,format=bgra" \
    -frames:v 1 -f rawvideo "$tmp"
}

# turned_h264 DEGREES: a 320x240 testsrc2 clip whose display matrix asks for a clockwise turn of
# DEGREES, the value a Windows source puts in MF_MT_VIDEO_ROTATION. ffmpeg 5.1's "rotate" tag
# names the opposite turn, so what was written is read back and checked.
turned_h264() {
  ff -f lavfi -i "testsrc2=s=320x240:r=10:d=2" -c:v libx264 -preset ultrafast -crf 18 -g 10 \
    -bf 0 -pix_fmt yuv420p "$tmp.plain.mp4"
  ff -i "$tmp.plain.mp4" -c copy -metadata:s:v:0 rotate=$(((360 - $1) % 360)) "$tmp"
  rm -f "$tmp.plain.mp4"
  written=$(ffprobe -v error -select_streams v:0 -show_entries stream_side_data=rotation \
    -of csv=p=0 "$tmp")
  if [ $(((360 - ${written:-0}) % 360)) -ne "$1" ]; then
    echo "turned_h264 $1: the display matrix says $written" >&2
    exit 1
  fi
}

# tagged_h264 PIX_FMT FFMPEG_OPTIONS...: a 320x240 testsrc2 clip in PIX_FMT, its colour tags set.
tagged_h264() {
  format=$1
  shift
  ff -f lavfi -i "testsrc2=s=320x240:r=10:d=2" "$@" -c:v libx264 -preset ultrafast -crf 18 \
    -g 10 -bf 0 -pix_fmt "$format" "$tmp"
}

# 720x480 with 32:27 pixels (a 16:9 DVD picture). Smooth gradients only, so that ffmpeg's
# bicubic widening and the plug-in's area widening differ by rounding, not at edges.
wide_pixels_h264() {
  ff -f lavfi -i "nullsrc=s=720x480:r=10:d=2" \
    -vf "geq=lum='40+150*X/W+20*Y/H':cb='128+40*sin(X/90)':cr='128+40*cos(Y/70)',setsar=32/27" \
    -c:v libx264 -preset ultrafast -crf 12 -g 10 -bf 0 -pix_fmt yuv420p "$tmp"
}

# converted_frame VIDEO N MATRIX RANGE [FILTER]: as reference_frame, with the conversion named
# (ffmpeg turns a rotated clip upright first) and FILTER applied to the BGRA picture.
converted_frame() {
  ffmpeg -nostdin -hide_banner -loglevel error -y -i "$dir/$1" \
    -vf "select=eq(n\\,$2),scale=in_color_matrix=$3:in_range=$4:out_range=pc,format=bgra${5:+,$5}" \
    -frames:v 1 -f rawvideo "$tmp"
}

# HDR from a known SDR scene: smooth sRGB gradients (no edges, so that chroma upsampling does not
# decide the comparison) that move with time, 320x240, 10 fps, 2 s. As PQ or HLG with BT.2020
# primaries, SDR white placed at HDR reference white (npl=203: 203 nits, 75 % HLG), or NPL nits.
hdr_scene="nullsrc=s=320x240:r=10:d=2,format=gbrp,\
geq=r='255*X/W':g='255*pow(Y/H\\,1.5)':b='127+127*sin(X/40+Y/50+T)'"

# hdr_signal TRANSFER NPL FORMAT: the scene's HDR signal as yuv420p10le or yuv420p.
hdr_signal() {
  echo "format=gbrpf32le,zscale=tin=iec61966-2-1:pin=bt709:npl=$2:t=$1:p=bt2020:m=bt2020nc:r=tv,\
format=$3"
}

# hdr_frames TRANSFER NPL: raw P010 frames of the scene, as a 10-bit decoder gives them.
hdr_frames() {
  ff -f lavfi -i "$hdr_scene" -vf "$(hdr_signal "$1" "$2" yuv420p10le)" -pix_fmt p010le \
    -f rawvideo "$tmp"
}

# The same PQ signal at 8 bits in H.264, tagged: what Wine decodes, and the clock of the frames.
hdr_h264() {
  ff -f lavfi -i "$hdr_scene" -vf "$(hdr_signal smpte2084 203 yuv420p)" -c:v libx264 \
    -preset ultrafast -crf 12 -g 10 -bf 0 -colorspace bt2020nc -color_primaries bt2020 \
    -color_trc smpte2084 -color_range tv "$tmp"
}

# hdr_reference FRAMES TRANSFER [TONEMAP]: ffmpeg's own rendering of frame 10 as top-down BGRA:
# zscale linearises (1.0 = 203 nits) and converts to BT.709 primaries, tonemap maps the
# brightest component with the Moebius curve (knee 0.433 = 88 nits, the knee of our curve for a
# 1,000-nit source; peak 1000 / 203), zscale encodes sRGB. Without TONEMAP: the signal's codes
# converted by the BT.2020 matrix alone, what hdr=0 shows.
hdr_reference() {
  if [ -n "${3:-}" ]; then
    filter="zscale=tin=$2:min=bt2020nc:pin=bt2020:rin=tv:t=linear:npl=203:p=bt709:f=point,\
format=gbrpf32le,tonemap=mobius:param=0.433:desat=0:peak=4.926,zscale=t=iec61966-2-1,format=bgra"
  else
    filter="scale=in_color_matrix=bt2020:in_range=tv:out_range=pc,format=bgra"
  fi
  ffmpeg -nostdin -hide_banner -loglevel error -y -f rawvideo -pix_fmt p010le -s 320x240 -r 10 \
    -i "$dir/$1" -vf "select=eq(n\\,10),$filter" -frames:v 1 -f rawvideo "$tmp"
}

# Frame 10 of the SDR scene itself.
hdr_scene_frame() {
  ff -f lavfi -i "$hdr_scene" -vf "select=eq(n\\,10),format=bgra" -frames:v 1 -f rawvideo "$tmp"
}

audio_only() {
  ff -f lavfi -i "sine=frequency=440:duration=3" -c:a aac -b:a 32k "$tmp"
}

copy_of() {
  cp "$dir/$1" "$tmp"
}

text_file() {
  printf 'This is a text file, not a video.\n' >"$tmp"
}

seven_bytes() {
  printf '1234567' >"$tmp"
}

generate len0900ms.mp4 moment_h264 160x120 10 0.9
generate len1s.mp4 moment_h264 160x120 10 1
generate len10s.mp4 moment_h264 320x240 10 10
generate len59s.mp4 moment_h264 160x120 5 59
generate len60s.mp4 moment_h264 320x240 10 60
generate Trip.mp4 moment_h264 1280x720 5 125
# Widths that are not a multiple of 4; H.264 cannot code an odd width, MPEG-4 part 2 can.
generate wide322.mp4 moment_h264 322x240 10 3
generate odd161.avi moment_part2 mpeg4 161x120 3
generate len10s.avi moment_part2 mpeg4 320x240 10
generate len10s.wmv moment_part2 wmv2 320x240 10
generate len10s.mkv moment_h264 320x240 10 10
generate bframes.mp4 moment_bframes 320x240 10 10
generate gap1s.mkv moment_gap
generate audio_only.m4a audio_only
generate notvideo.mp4 text_file
generate notvideo.txt text_file
generate seven_bytes.mp4 seven_bytes
generate a.b.mp4 copy_of len10s.mp4
generate Clip copy_of len10s.mp4
generate 動画.mp4 copy_of len10s.mp4
generate rich.mp4 rich_h264
# Frame sizes that are not multiples of 16, for the Windows-behaviour reader's aligned frames.
generate numbered60s.mp4 numbered_h264 328x232 60
# The last entry of clips with key frames every frame, second and 10 s, with and without B-frames
# (-bf 3 overrides the ultrafast preset's none).
generate numbered60s_g10.mp4 numbered_h264 328x232 60 10
for gop in 1 10 100; do
  generate numbered10s_g$gop.mp4 numbered_h264 328x232 10 $gop
done
generate numbered10s_g10_bf.mp4 numbered_h264 328x232 10 10 3
generate numbered10s_g100_bf.mp4 numbered_h264 328x232 10 100 3
generate numbered10s_audio13s.mp4 numbered_audio 328x232 10 13
generate hd1080.mp4 hd_h264
generate hd1080_frame10.bgra reference_frame hd1080.mp4 10
# Pictures shown as the container says: turned, tagged colours, wide pixels (frame 10 each).
for turn in 0 90 180 270; do
  generate turned$turn.mp4 turned_h264 $turn
  generate turned${turn}_frame10.bgra converted_frame turned$turn.mp4 10 bt601 tv
done
generate bt709.mp4 tagged_h264 yuv420p -vf scale=out_color_matrix=bt709:out_range=tv \
  -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv
generate bt709_frame10.bgra converted_frame bt709.mp4 10 bt709 tv
generate full601.mp4 tagged_h264 yuvj420p -vf scale=out_color_matrix=bt601:out_range=pc \
  -colorspace smpte170m -color_range pc
generate full601_frame10.bgra converted_frame full601.mp4 10 bt601 pc
generate bt2020.mp4 tagged_h264 yuv420p -vf scale=out_color_matrix=bt2020:out_range=tv \
  -colorspace bt2020nc -color_primaries bt2020 -color_trc bt709 -color_range tv
generate bt2020_frame10.bgra converted_frame bt2020.mp4 10 bt2020 tv
generate wide_pixels.mp4 wide_pixels_h264
generate wide_pixels_frame10.bgra converted_frame wide_pixels.mp4 10 bt601 tv scale=853:480
# HDR: P010 frames for the Windows-behaviour reader's 10-bit decoder, the H.264 clip it runs on,
# and the renderings they are matched against.
generate hdr_pq.p010 hdr_frames smpte2084 203
generate hdr_hlg.p010 hdr_frames arib-std-b67 203
generate hdr_pq.mp4 hdr_h264
generate hdr_scene_frame10.bgra hdr_scene_frame
generate hdr_pq_frame10.bgra hdr_reference hdr_pq.p010 smpte2084 tonemap
generate hdr_hlg_frame10.bgra hdr_reference hdr_hlg.p010 arib-std-b67 tonemap
generate hdr_pq_frame10_signal.bgra hdr_reference hdr_pq.p010 smpte2084
