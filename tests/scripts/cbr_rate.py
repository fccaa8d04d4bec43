#!/usr/bin/env python3
"""cbr_rate.py STREAM KBPS FPS [BUFFER_KBIT]: the access units of an Annex B
stream (a picture starts at a parameter set, a delimiter, a prefix SEI or a
first slice segment after the last picture's slices), in decoding order.
Prints the number of pictures, the rate's error in percent, the lowest and highest whole second
as a multiple of the rate, and the lowest fill of a buffer of BUFFER_KBIT
filled at KBPS (starting 90% full, each picture leaving it, KBPS / FPS
coming in, capped) as a share of the buffer (1.0 without a buffer), and the
largest picture in seconds of the rate."""
import sys
d = open(sys.argv[1], 'rb').read()
rate, fps = float(sys.argv[2]) * 1000, float(sys.argv[3])
buf = float(sys.argv[4]) * 1000 if len(sys.argv) > 4 else 0.0
starts, i = [], 0
while True:
    j = d.find(b'\x00\x00\x01', i)
    if j < 0:
        break
    starts.append((j - 1 if j > 0 and d[j - 1] == 0 else j, j + 3))
    i = j + 3
sizes, cur, vcl = [], 0, False
for k, (s, p) in enumerate(starts):
    e = starts[k + 1][0] if k + 1 < len(starts) else len(d)
    t = (d[p] >> 1) & 0x3f
    first = t < 32 and d[p + 2] & 0x80
    if vcl and (32 <= t <= 35 or t == 39 or first):
        sizes.append(cur)
        cur, vcl = 0, False
    cur += e - s
    vcl = vcl or t < 32
sizes.append(cur)
bits = [8 * s for s in sizes]
w = max(1, round(fps))
secs = [sum(bits[i:i + w]) / rate for i in range(0, len(bits) - w + 1, w)] or [0.0]
fill = low = 0.9 * buf
for b in bits:
    fill -= b
    low = min(low, fill)
    fill = min(buf, fill + rate / fps)
print('%d %.2f %.2f %.2f %.3f %.2f' % (len(bits), 100 * (sum(bits) * fps / len(bits) / rate - 1),
                                       min(secs), max(secs), low / buf if buf else 1.0, max(bits) / rate))
