#!/usr/bin/env python3
"""The decoder's buffer of an HEVC stream, followed from the stream's own
access units in decoding order.

usage: vbv_buffer.py STREAM KBPS BUFFER_KBIT FPS [INIT]

The buffer starts at INIT x its size (default 0.9; above 1, INIT is in kbit),
loses each picture's bytes as the decoder takes it, then gains KBPS / FPS,
never above its size.  Prints one line:
  kbps=K lowest=F under=N pictures=P
K the stream's rate at FPS, F the lowest fill as a fraction of the buffer
(negative: ran dry), N the pictures that took it below empty.
"""
import sys

NAL_VPS, NAL_SUFFIX_SEI = 32, 40


def access_units(data):
    """Bytes of each access unit: a unit starts at a parameter set, a prefix
    SEI or AUD, or a slice whose first_slice_segment_in_pic_flag is set,
    unless a parameter set or SEI already opened it."""
    starts = []
    i, n = 0, len(data)
    while True:
        j = data.find(b'\x00\x00\x01', i)
        if j < 0 or j + 4 >= n:
            break
        begin = j - 1 if j > 0 and data[j - 1] == 0 else j
        starts.append((begin, j + 3))
        i = j + 3
    units, opened = [], False
    bounds = []
    for begin, at in starts:
        nal_type = (data[at] >> 1) & 0x3f
        if nal_type < 32:
            first = data[at + 2] >> 7
            if first and not opened:
                bounds.append(begin)
            opened = False
        elif nal_type in (32, 33, 34, 35, 39):
            if not opened:
                bounds.append(begin)
            opened = True
    bounds.append(n)
    return [bounds[k + 1] - bounds[k] for k in range(len(bounds) - 1)]


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    data = open(sys.argv[1], 'rb').read()
    rate, size, fps = float(sys.argv[2]) * 1000, float(sys.argv[3]) * 1000, float(sys.argv[4])
    init = float(sys.argv[5]) if len(sys.argv) > 5 else 0.9
    fill = init * size if init <= 1 else min(size, init * 1000)
    units = access_units(data)
    lowest, under = fill, 0
    for b in units:
        fill -= 8 * b
        under += fill < 0
        lowest = min(lowest, fill)
        fill = min(size, fill + rate / fps)
    kbps = 8 * sum(units) / max(len(units), 1) * fps / 1000
    print('kbps=%.2f lowest=%.4f under=%d pictures=%d' % (kbps, lowest / size, under, len(units)))


if __name__ == '__main__':
    main()
