#!/usr/bin/env python3
"""Summarises one ctest run of scripts/test.sh from its full log.

usage: ctest_report.py BUILD_DIR CTEST_LOG SKIP_LIST

Prints ctest's closing summary and the output of every failed test, and
appends one line per skipped test, with the reason its output gives, to
SKIP_LIST.  Under CI (CI=true) a skipped end-to-end test (label e2e) fails
the run: those tests need the clips folder and the decoders, and a run that
skipped them has not tested the encoder's streams.  Exit status: 0, or 1
when CI and an end-to-end test skipped.
"""
import json
import os
import re
import subprocess
import sys

MAX_FAILED_OUTPUT_LINES = 80


def test_outputs(build):
    """Output of every test of the last run, by test name."""
    path = os.path.join(build, "Testing", "Temporary", "LastTest.log")
    outputs = {}
    try:
        text = open(path, encoding="utf-8", errors="replace").read()
    except OSError:
        return outputs
    for m in re.finditer(r"^\d+/\d+ Test: (.*)\n(?:.*\n)*?Output:\n-+\n((?:.*\n)*?)<end of output>", text, re.M):
        outputs[m.group(1).strip()] = m.group(2)
    return outputs


def skip_reason(output):
    lines = [l.strip() for l in output.splitlines() if l.strip()]
    for i, l in enumerate(lines):
        if l.endswith(": Skipped") and i + 1 < len(lines):  # GTEST_SKIP's message follows
            return lines[i + 1]
    for l in reversed(lines):
        if "skip" in l.lower() and not l.startswith("[  SKIPPED ]"):
            return l
    return lines[-1] if lines else "(no output)"


def labels_of(build):
    try:
        out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True, text=True, check=True)
        tests = json.loads(out.stdout)["tests"]
    except (OSError, subprocess.CalledProcessError, ValueError, KeyError):
        return {}
    labels = {}
    for t in tests:
        for p in t.get("properties", []):
            if p.get("name") == "LABELS":
                labels[t["name"]] = p.get("value", [])
    return labels


def clips_dir(build):
    try:
        for line in open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8"):
            if line.startswith("TARN_CLIPS_DIR:"):
                return os.path.normpath(line.split("=", 1)[1].strip())
    except OSError:
        pass
    return None


def main():
    build, log, skip_list = sys.argv[1:4]
    text = open(log, encoding="utf-8", errors="replace").read().splitlines()
    start = next((i for i, l in enumerate(text) if re.match(r"^\d+% tests passed", l)), None)
    summary = text[start:] if start is not None else text[-30:]
    skipped, failed = [], []
    section = None
    for l in summary:
        if l.startswith("The following tests did not run:"):
            section = "skipped"
        elif l.startswith("The following tests FAILED:"):
            section = "failed"
        m = re.match(r"^\s*\d+ - (.*) \((.*)\)$", l)
        if m and section == "skipped" and m.group(2) == "Skipped":
            skipped.append(m.group(1).strip())
        elif m and section == "failed":
            failed.append(m.group(1).strip())
    print(f"--- {os.path.basename(os.path.normpath(build))}: " + (text[start] if start is not None else "no ctest summary"))
    for l in summary[1:]:
        if l.startswith("The following tests did not run:"):
            break
        if l.strip() and not l.startswith("Label Time Summary"):
            print(l)
    outputs = test_outputs(build) if skipped or failed else {}
    for name in failed:
        out = outputs.get(name, "").splitlines()
        print(f"--- output of the failed test {name}" + (" (last lines)" if len(out) > MAX_FAILED_OUTPUT_LINES else ""))
        print("\n".join(out[-MAX_FAILED_OUTPUT_LINES:]))
    labels = labels_of(build) if skipped else {}
    e2e_skipped = []
    with open(skip_list, "a", encoding="utf-8") as f:
        for name in skipped:
            reason = skip_reason(outputs.get(name, ""))
            f.write(f"{os.path.basename(os.path.normpath(build))}: {name}: {reason}\n")
            if "e2e" in labels.get(name, []):
                e2e_skipped.append((name, reason))
    if failed:
        print(f"full log: {log}")
    ci = os.environ.get("CI", "").lower() in ("true", "1", "yes")
    if ci and e2e_skipped:
        print(f"CI: {len(e2e_skipped)} end-to-end tests skipped; they must run in CI:")
        for name, reason in e2e_skipped:
            print(f"  {name}: {reason}")
        clips = clips_dir(build)
        if clips and not os.path.isdir(clips):
            print(f"CI: the clips folder {clips} is missing: the end-to-end tests read the clips from "
                  "../shared/clips beside the repository (or -DTARN_CLIPS_DIR=...)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
