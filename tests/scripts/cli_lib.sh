# Shared pieces of the command-line scripts: a scratch folder, a runner that
# flags crashes and sanitizer reports, an exit-code-and-message check, and
# small deterministic inputs made with printf.  Sourced, not run.
ZIRAVOV=${ZIRAVOV:?path of the ziravov binary}
SCRATCH=${SCRATCH:-$(mktemp -d)}
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH" || exit 1
cd "$SCRATCH" || exit 1

failures=0
checks=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# run NAME ARGS...: runs the encoder with a time limit (RUN_TIMEOUT seconds,
# default 120), leaves rc, out.txt, err.txt.
run() {
  local name=$1
  shift
  timeout "${RUN_TIMEOUT:-120}" "$ZIRAVOV" "$@" >out.txt 2>err.txt </dev/null
  rc=$?
  checks=$((checks + 1))
  if grep -q -E 'AddressSanitizer|LeakSanitizer|runtime error:' err.txt; then
    fail "$name: sanitizer report"
    sed 's/^/    /' err.txt | head -20
  fi
  if [ "$rc" -ge 128 ] && [ "$rc" -ne 130 ]; then
    fail "$name: crashed with exit code $rc"
  fi
}

# expect CODE PATTERN NAME ARGS...: exit code CODE and a stderr line matching PATTERN.
expect() {
  local code=$1 pattern=$2 name=$3
  shift 3
  run "$name" "$@"
  if [ "$rc" -ne "$code" ]; then
    fail "$name: exit code $rc, expected $code (args: $*)"
    sed 's/^/    /' err.txt | head -5
  elif ! grep -q -i -E "$pattern" err.txt; then
    fail "$name: stderr does not match /$pattern/:"
    sed 's/^/    /' err.txt | head -5
  fi
}

# Deterministic, textured samples (a fixed text repeated), so runs compare.
samples() { yes 'ziravov-cli-test-pattern-0123456789' | head -c "$1"; }

W=64
H=64
PIC=$((W * H * 3 / 2))
y4m() { # y4m HEADER_PARAMS PICTURES > file
  printf 'YUV4MPEG2 %s\n' "$1"
  local i
  for ((i = 0; i < $2; i++)); do
    printf 'FRAME\n'
    samples "$PIC"
  done
}

# The decoder is an independent witness that an output stream is complete.
# decoded_pictures FILE prints the count of pictures ffmpeg gets out of it.
decoded_pictures() {
  ffmpeg -y -v error -i "$1" -f rawvideo -pix_fmt yuv420p dec.yuv </dev/null 2>dec_err.txt || { echo -1; return; }
  echo $(($(stat -c %s dec.yuv) / PIC))
}
have_ffmpeg=0
command -v ffmpeg >/dev/null 2>&1 && have_ffmpeg=1

