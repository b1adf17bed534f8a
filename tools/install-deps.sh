#!/usr/bin/env bash
# Installs the Debian packages Keva needs to build, test and run, and only those
# that are missing. Quick and silent when everything is already there.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake make pkg-config
  # script memory allocator
  libjemalloc-dev
  # regular expressions for scripts
  libonig-dev
  # native libraries that scripts load and call
  libffi-dev
  # the window, events and message boxes
  libsdl2-dev
  # screenshots
  libpng-dev
  # image files: JPEG decoding
  libjpeg62-turbo-dev
  # text: fonts and their rasteriser
  libfreetype-dev libfontconfig-dev fonts-ipafont-gothic
  # text: the Japanese mincho faces that games name ("ＭＳ 明朝" and its variants)
  fonts-ipafont-mincho
  # text: the vertical forms of characters in vertical-writing faces
  libharfbuzz-dev
  # text tests: a face without Japanese, to show the glyph fallback
  fonts-dejavu-core
  # sound: Ogg Vorbis decoding (libvorbisenc writes the test fixtures) and the mixer's resampler
  libogg-dev libvorbis-dev libsamplerate0-dev
  # music: MIDI synthesis into the mixer, a small General MIDI SoundFont, and the virtual disc's track files
  libfluidsynth-dev timgm6mb-soundfont libsndfile1-dev
  # packaging: manual pages from --help, the Debian package's library dependencies
  help2man dpkg-dev file
  # the sanitizer build and the fuzz targets (tools/check-sanitized.sh, tools/fuzz.sh)
  clang libfuzzer-14-dev
  # video playback: demuxing, decoding, scaling and resampling (the tests encode their videos with it too)
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  # tests and benchmarks
  libgtest-dev libbenchmark-dev
  # tests of scripted input in a real window (a virtual X server)
  xvfb xauth
  # the main window under X11 (frame extents, name properties); tests of the window in an X
  # session: window listing and properties, and a small window manager
  libx11-dev x11-utils openbox xdotool
  # benchmark-only: the comparison composites of graphics_bench (never linked into the engine)
  libpixman-1-dev
  # benchmark-only: bench/lantern_play.sh times the example game's play-through
  time bc
  # benchmark-only: the C compiler compiler_bench compares compile speed with (never used by the engine)
  tcc
  # benchmark-only: the script interpreter script_bench runs the same workloads with (never used by the engine)
  lua5.4
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "install-deps: installing ${missing[*]}" >&2
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
