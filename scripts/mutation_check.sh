#!/usr/bin/env bash
# Checks that the tests catch deliberate faults: each fault of a list
# (scripts/mutations.txt by default) is applied alone to a scratch copy of
# the tree, the copy is rebuilt and the fault's tests are run; a fault they
# pass "survives".  Prints one line per fault and exits non-zero when a fault
# survives, no longer applies (its text is not found exactly once) or does
# not build, or when its tests fail or skip on the unchanged tree.  Not part
# of CI: a fault whose tests are the unit tests takes about a minute on a
# loaded machine, one judged by an end-to-end script as long as the script.
#
# usage: scripts/mutation_check.sh [-c] [-l LIST] [-n NAME_REGEX] [-j JOBS]
#   -c             only check that every fault still applies to this tree
#                  (no build; a test runs this, so a change that moves a
#                  fault's text fails until the fault follows it)
#   -l LIST        the fault list (format below)
#   -n NAME_REGEX  only the faults whose name matches (grep -E)
#   -j JOBS        build and test jobs (default 6)
#
# The scratch copy (build-mutation/src, a git worktree of the same
# repository) is the checked-out commit plus the uncommitted changes of
# tracked files, so that a new test can be tried before it is committed
# (a new file needs "git add -N" first);
# remove it with "git worktree remove --force build-mutation/src".
#
# List format: blocks of "key: value" lines separated by blank lines; lines
# starting with # are comments.  The value is everything after "key: ".
#   name:  a short name, unique in the list
#   file:  the file to change, relative to the repository root
#   from:  the exact text to replace; it must occur exactly once in the file
#          (a fragment of one line; include enough to make it unique)
#   to:    the replacement (may be empty: "to:" alone deletes the text)
#   tests: the tests that must catch the fault: a ctest regular expression
#          (ctest -R), e.g. ^test_rate_control$ (end-to-end scripts are ctest
#          tests too) or CuTree, or, when the value starts with "-", ctest's
#          own selection arguments, e.g. "-L unit" (the unit tests take
#          about 15 s)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/scripts/mutations.txt
only=""
jobs=6
check_only=0
while getopts "cl:n:j:" opt; do
  case $opt in
  c) check_only=1 ;;
  l) list=$OPTARG ;;
  n) only=$OPTARG ;;
  j) jobs=$OPTARG ;;
  *) sed -n '2,24p' "$0"; exit 2 ;;
  esac
done
[ -r "$list" ] || { echo "fault list $list not readable"; exit 2; }
command -v python3 >/dev/null || { echo "python3 is needed"; exit 2; }

# The faults as records of five fields separated by the unit separator.
parse() {
  python3 - "$1" <<'EOF'
import sys
blocks, cur = [], {}
for n, line in enumerate(open(sys.argv[1], encoding="utf-8"), 1):
    line = line.rstrip("\n")
    if line.startswith("#"):
        continue
    if not line.strip():
        if cur:
            blocks.append(cur)
        cur = {}
        continue
    key, sep, value = line.partition(":")
    if not sep or key not in ("name", "file", "from", "to", "tests"):
        sys.exit(f"{sys.argv[1]}:{n}: expected 'name|file|from|to|tests: value', got {line!r}")
    if key in cur:
        sys.exit(f"{sys.argv[1]}:{n}: '{key}' given twice in one fault")
    cur[key] = value[1:] if value.startswith(" ") else value
    cur.setdefault("line", n)
if cur:
    blocks.append(cur)
names = set()
for b in blocks:
    missing = [k for k in ("name", "file", "from", "tests") if k not in b]
    if missing:
        sys.exit(f"{sys.argv[1]}:{b['line']}: fault without {', '.join(missing)}")
    if b["name"] in names:
        sys.exit(f"{sys.argv[1]}:{b['line']}: fault name {b['name']} used twice")
    names.add(b["name"])
    print("\x1f".join([b["name"], b["file"], b["from"], b.get("to", ""), b["tests"]]))
EOF
}
faults=$(parse "$list") || exit 2
if [ -n "$only" ]; then
  faults=$(printf '%s\n' "$faults" | awk -F'\x1f' -v re="$only" '$1 ~ re') || true
fi
[ -n "$faults" ] || { echo "no faults selected"; exit 2; }

# A fault's text must occur exactly once in its file, as apply_fault needs.
if [ $check_only -eq 1 ]; then
  printf '%s\n' "$faults" | python3 -c '
import sys
root, stale, count = sys.argv[1], 0, 0
for record in sys.stdin.read().splitlines():
    name, path, old = record.split("\x1f")[:3]
    count += 1
    try:
        found = open(f"{root}/{path}", encoding="utf-8").read().count(old)
    except OSError:
        print(f"STALE     {name}: {path} does not exist")
        stale += 1
        continue
    if found != 1:
        print(f"STALE     {name}: {old!r} found {found} times in {path}")
        stale += 1
print(f"{count - stale} of {count} faults apply")
sys.exit(1 if stale else 0)
' "$root"
  exit
fi

# The scratch copy stays between runs (build-mutation/ beside build/, which
# git ignores), so that a run rebuilds only what changed since the last one;
# its build folder lies where a worktree's own does, so that the compiler
# cache serves both.
scratch=$root/build-mutation
src=$scratch/src
build=$src/build
logs=$scratch/logs
mkdir -p "$scratch"
rm -rf "$logs" && mkdir -p "$logs"
head=$(git -C "$root" rev-parse HEAD) || exit 2
if [ ! -e "$src/.git" ]; then
  rm -rf "$src"
  git -C "$root" worktree prune
  git -C "$root" worktree add -q --detach "$src" "$head" || exit 2
fi
git -C "$src" checkout -q --detach --force "$head" && git -C "$src" clean -qfd -e /build || exit 2
git -C "$root" diff HEAD --binary | git -C "$src" apply --allow-empty || { echo "the uncommitted changes do not apply"; exit 2; }
# The clips: $CLIPS, else ../shared/clips beside this tree or beside the
# repository's main tree (a worktree elsewhere has none of its own).
common=$(cd "$(git -C "$root" rev-parse --git-common-dir)/.." && pwd)
clips=${CLIPS:-}
for c in "$root/../shared/clips" "$common/../shared/clips"; do
  [ -z "$clips" ] && [ -d "$c" ] && clips=$(cd "$c" && pwd)
done
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
echo "scratch copy: $src (logs in $logs)"
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_BENCH=OFF "-DTARN_CLIPS_DIR=${clips:-$root/../shared/clips}" \
  "${launcher[@]}" >"$logs/cmake.log" 2>&1 || { tail -20 "$logs/cmake.log"; exit 2; }

build_copy() { ninja -C "$build" -j"$jobs" >"$1" 2>&1 </dev/null; }
# run_tests REGEX LOG: 0 when the tests pass, 1 when one fails, 2 when one
# skips or none matches (ctest counts a skip as a pass).
run_tests() {
  local select=(-R "$1")
  # shellcheck disable=SC2206
  [ "${1:0:1}" = "-" ] && select=($1)
  # fault_list (a unit test) fails under every fault, since the fault's own
  # text no longer applies to the copy: it would kill every "-L unit" fault.
  (cd "$build" && ctest "${select[@]}" -E '^fault_list$' -j"$jobs" --no-tests=error --timeout 900 --output-on-failure) >"$2" 2>&1 </dev/null
  local rc=$?
  if grep -qE '\*\*\*Skipped|Not Run|No tests were found' "$2"; then return 2; fi
  [ $rc -eq 0 ] && return 0
  return 1
}

echo "building the unchanged copy"
build_copy "$logs/build-base.log" || { tail -30 "$logs/build-base.log"; echo "the unchanged copy does not build"; exit 2; }
# select_args TESTS: ctest's selection arguments for a fault's "tests" value.
select_args() {
  if [ "${1:0:1}" = "-" ]; then printf '%s\n' $1; else printf '%s\n' -R "$1"; fi
}
# Every fault's tests must pass on the unchanged copy, or a failure under the
# fault proves nothing.  Each test runs once however many faults name it (an
# end-to-end script named in six selections took six runs of a minute and
# more): a selection whose tests all have a verdict takes it from them, else
# its tests without one run, by name.
declare -A base_ok verdict
status=0
base_run=0
while IFS=$'\x1f' read -r -u 3 name file from to tests; do
  [ -n "${base_ok[$tests]+x}" ] && continue
  mapfile -t select < <(select_args "$tests")
  mapfile -t names < <(cd "$build" && ctest -N "${select[@]}" -E '^fault_list$' | sed -n 's/^ *Test *#[0-9]*: //p')
  if [ ${#names[@]} -eq 0 ]; then
    base_ok[$tests]=2
  else
    todo=()
    for n in "${names[@]}"; do [ -n "${verdict[$n]+x}" ] || todo+=("$n"); done
    if [ ${#todo[@]} -gt 0 ]; then
      base_run=$((base_run + 1))
      log=$logs/base-$base_run.log
      if [ ${#todo[@]} -eq ${#names[@]} ]; then
        run_tests "$tests" "$log"
      else
        run_tests "^($(printf '%s\n' "${todo[@]}" | sed 's/[][\.*^$+?(){}|]/\\&/g' | paste -sd '|'))\$" "$log"
      fi
      # ctest's result line per test: "N/M Test  #K: NAME ....   Passed ...";
      # a parameterised test's NAME holds spaces ("Levels/X.Y/Level5  #
      # GetParam() = 5" is one name): read up to its first space, such a
      # test had no verdict, and every "-L unit" selection counted as skipped.
      while IFS=$'\t' read -r n v; do verdict[$n]=$v; done < <(sed -nE \
        's/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: (.*[^ ]) \.{3,} *(\*\*\*)?([A-Za-z]+).*/\1\t\3/p' "$log")
    fi
    base_ok[$tests]=0
    for n in "${names[@]}"; do
      case ${verdict[$n]:-none} in
      Passed) ;;
      Skipped | Not | none) [ "${base_ok[$tests]}" -eq 0 ] && base_ok[$tests]=2 ;;
      *) base_ok[$tests]=1 ;;
      esac
    done
  fi
  case ${base_ok[$tests]} in
  1) echo "BASE FAILS: tests '$tests' fail on the unchanged tree"; status=1 ;;
  2) echo "BASE SKIPS: tests '$tests' skip or match nothing on the unchanged tree"; status=1 ;;
  esac
done 3<<<"$faults"

apply_fault() {  # FILE FROM TO: replaces the one occurrence; 3 when not exactly one
  python3 - "$@" <<'EOF'
import sys
path, old, new = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
count = text.count(old)
if count != 1:
    print(f"found {count} times")
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(old, new))
EOF
}

survived=()
killed=0
while IFS=$'\x1f' read -r -u 3 name file from to tests; do
  log=$logs/$name
  if [ ! -f "$src/$file" ]; then
    echo "STALE     $name: $file does not exist"
    status=1
    continue
  fi
  cp "$src/$file" "$log.orig"
  if ! why=$(apply_fault "$src/$file" "$from" "$to"); then
    echo "STALE     $name: '$from' $why in $file"
    status=1
    continue
  fi
  if [ "${base_ok[$tests]}" -ne 0 ]; then
    result="UNTESTED  $name: its tests do not pass on the unchanged tree"
    status=1
  elif ! build_copy "$log.build.log"; then
    result="NO BUILD  $name: the fault does not compile ($log.build.log)"
    status=1
  else
    run_tests "$tests" "$log.test.log"
    case $? in
    0)
      result="SURVIVED  $name ($file; tests '$tests')"
      survived+=("$name")
      status=1
      ;;
    1)
      caught=$(grep -E '^\s*[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception|Child aborted)' "$log.test.log" |
        sed -E 's/^\s*[0-9]+ - ([^ ]+).*/\1/' | head -n 3 | tr '\n' ' ')
      result="killed    $name by ${caught:-a failing test}"
      killed=$((killed + 1))
      ;;
    *)
      result="UNTESTED  $name: its tests skipped under the fault ($log.test.log)"
      status=1
      ;;
    esac
  fi
  cp "$log.orig" "$src/$file"
  echo "$result"
done 3<<<"$faults"

total=$(printf '%s\n' "$faults" | wc -l)
if [ ${#survived[@]} -gt 0 ]; then
  echo "$killed of $total faults killed; ${#survived[@]} survived: ${survived[*]}"
else
  echo "$killed of $total faults killed; none survived"
fi
exit $status
