#!/usr/bin/env python3
"""cbr_clip.py OUT FPS PART...: a YUV4MPEG2 clip of the parts one after the
other, PART = FILE:PICTURES, each running through its file forwards and back
again until it has its pictures (so that no cut appears where a part loops).
FPS is the frame rate written into the header (e.g. 10:1)."""
import sys
def frames(path):
    d = open(path, 'rb').read()
    head = d[:d.index(b'\n')].split()
    w = int([t for t in head if t[:1] == b'W'][0][1:])
    h = int([t for t in head if t[:1] == b'H'][0][1:])
    size, out, p = w * h * 3 // 2, [], d.index(b'\n') + 1
    while p < len(d):
        p = d.index(b'\n', p) + 1
        out.append(d[p:p + size])
        p += size
    return w, h, out
pics = []
for part in sys.argv[3:]:
    path, n = part.rsplit(':', 1)
    w, h, f = frames(path)
    loop = f + f[-2:0:-1] if len(f) > 1 else f
    pics += [loop[i % len(loop)] for i in range(int(n))]
with open(sys.argv[1], 'wb') as o:
    o.write(b'YUV4MPEG2 W%d H%d F%s Ip A1:1 C420jpeg\n' % (w, h, sys.argv[2].encode()))
    for p in pics:
        o.write(b'FRAME\n' + p)
