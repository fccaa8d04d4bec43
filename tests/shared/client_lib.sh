# Shared by the library tests: runs the API client built against one form of
# the library and checks that its stream decodes to all three pictures.
# run_client PROGRAM STREAM [ENV...]
run_client() {
  local program=$1 stream=$2
  shift 2
  env "$@" "$program" "$stream" || { echo "$program failed"; return 1; }
  command -v ffmpeg >/dev/null || return 0
  local frames
  frames=$(ffmpeg -v error -i "$stream" -f framemd5 - | grep -vc '^#') || true
  [ "$frames" -eq 3 ] || { echo "$stream decodes to $frames pictures in ffmpeg, not 3"; return 1; }
}
