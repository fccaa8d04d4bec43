#!/usr/bin/env bash
# P and B pictures of a window that pans across a larger clip and back, so
# that the content moves in off every picture edge in turn: merge and
# searched vectors point past each edge of the reference.  Every fast level
# (0-4) with and without B pictures must decode in ffmpeg and libde265 to
# exactly the reconstruction; under the sanitizers no read may leave the
# pictures' margins.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

conf_init
conf_need_clips flower_720p_30f.y4m
conf_pan pan.yuv || conf_fail pan "ffmpeg cannot crop the clip"
levels="0 1 2 3 4"
# Sanitized builds run a cheaper set.
[ -n "${CONF_QUICK:-}" ] && levels="0 4"
conf_pan_cases "$levels" | conf_run_cases
conf_finish
