#!/usr/bin/env python3
"""Fault sweeps of the ziravov program: random encodes, hostile option values
and odd YUV4MPEG2 inputs.

--suite random (default): each case encodes one raw input with a random mix
of complexity, B structure (up to 16 B pictures), GOP (also all-intra and
very long key periods), rate mode (the default, constant QP, LQP, ABR, CRF,
CBR, two passes, VBV with each of them), QP limits and steps at their extremes, AQ,
CU-tree, scene cuts, random decisions, tunes, odd frame rates, threads and
CPU tier, HM compatibility streams, read raw or (a fifth of the cases) as
YUV4MPEG2, sometimes after a --seek.  Both decoders (ffmpeg, libde265) must give back the
reconstruction byte for byte and the exit code must be 0; where the output
is promised not to depend on them, a second encode with another thread
count and another CPU tier must give the same bytes.  Every VBV case also
follows the buffer from the stream itself (access units in coding order: the
buffer starts at the initial fill, loses each picture's bytes and gains
rate / fps, capped at its size) and reports a lowest fill that differs from
the program's own report, and an underflow wherever the highest QP allowed
could have kept the buffer from running dry (the same structure at that QP
everywhere, without AQ, never below empty); every such underflow is a
failure.

--suite options: every option that takes a value gets hostile values
(negative, NaN, infinities, huge, empty, blanks, trailing garbage, other
number forms); each must end with exit 1 or 2 (4 for sizes), a message on
stderr that names the option, no crash and no output file.  The range an
error message names is then tried at both ends (must encode, or refuse with
a message) and one step outside each end (must give exit 2).  Then random
command lines mixing one bad value with valid options.

--suite y4m: YUV4MPEG2 files with odd headers (interlacing, other chroma
formats, bad or missing sizes and rates, carriage returns, no newline, long
lines), missing or damaged FRAME markers and truncated last pictures: each
must either encode (and decode to the reconstruction) or end with exit 4 and
a message, never crash.

usage: qa_sweep.py ZIRAVOV INPUT_DIR OUT_DIR [--suite random|options|y4m|all]
                   [--cases N] [--jobs J] [--seed S] [--only c1_0004,...] [--vbv-only]
INPUT_DIR holds raw 4:2:0 files named NAME_WxH.yuv (only the random suite
reads it).  The last line says "N passed, N failed".
"""
import argparse
import concurrent.futures as cf
import json
import os
import random
import re
import shutil
import subprocess
import sys
import threading


def inputs(folder):
    found = []
    for name in sorted(os.listdir(folder)):
        m = re.match(r'.*_(\d+)x(\d+)\.yuv$', name)
        if m:
            w, h = int(m.group(1)), int(m.group(2))
            pics = os.path.getsize(os.path.join(folder, name)) // (w * h * 3 // 2)
            found.append((os.path.abspath(os.path.join(folder, name)), w, h, pics))
    return found


# Frame rates a raw input may be given: the usual ones, fractional NTSC
# rates, very low and very high ones.
ODD_RATES = ['30000/1001', '24000/1001', '60000/1001', '1', '7/3', '5/2', '1/7', '120', '300', '1000', '1/1000',
             '2147483647', '2147483647/2147483647']


def fps_value(text):
    num, _, den = text.partition('/')
    return int(num) / int(den or 1)


def draw(rng, clips):
    path, w, h, pics = rng.choice(clips)
    big = w * h >= 1280 * 720
    args = ['--input-res', f'{w}x{h}']
    if big:
        frames = rng.choice([2, 3, 5])
    elif rng.random() < 0.15 and pics >= 24:
        frames = rng.choice([24, 40, 60])  # long B runs and GOPs
    else:
        frames = rng.choice([2, 5, 8, 16])
    seek = rng.choice([0] * 8 + [1, 3]) if pics > 4 else 0
    frames = min(pics - seek, frames)
    if w * h >= 352 * 288 and frames > 16:
        frames = 16
    args += ['--frames', str(frames)]
    if seek:
        args += ['--seek', str(seek)]
    cx = rng.randint(0, 7)
    args += ['--complexity', str(cx)]
    bframes = rng.choice([0, 1, 3, 7, 16, rng.randint(0, 16)])
    args += ['--bframes', str(bframes)]
    args += ['--hierarchy', str(rng.randint(0, 2))]
    args.append(rng.choice(['--open-gop', '--no-open-gop']))
    args += ['--keyint', str(rng.choice([0, 1, 1, 2, 3, 4, 5, 8, 17, 250, 1073741824]))]
    if rng.random() < 0.1:
        args += ['--min-keyint', str(rng.choice([0, 1, 3, 1000, 2147483647]))]
    if rng.random() < 0.3:
        args += ['--rc-lookahead', str(rng.choice([0, 1, 2, 4, 10, 250]))]
    # A fifth of the cases read the clip as YUV4MPEG2 (size and rate from its
    # header) instead of raw.
    y4m_rate = rng.choice(['25:1', '30000:1001']) if rng.random() < 0.2 else None
    if y4m_rate:
        args = args[2:]
    fps = fps_value(y4m_rate.replace(':', '/')) if y4m_rate else 25.0
    if rng.random() < 0.25:
        rate_text = rng.choice(ODD_RATES)
        args += ['--fps', rate_text]
        fps = fps_value(rate_text)
    # 'plain' names no rate option and no AQ mode: the defaults.
    mode = rng.choice(['qp', 'qpx', 'plain', 'abr', 'crf', 'cbr', 'vbv', 'twopass', 'lqp', 'crfvbv', 'qpvbv', 'twopassvbv'])
    rate = max(40, int(w * h * fps * rng.choice([0.01, 0.05, 0.2, 1.0]) / 1000))
    rate = min(rate, 2000000)
    vbv = None
    if mode == 'qp':
        args += ['--qp', str(rng.randint(0, 51))]
    elif mode == 'qpx':
        args += ['--qp', str(rng.choice([0, 51]))]
    elif mode == 'lqp':
        args += ['--qp', str(rng.randint(10, 45)), '--lqp']
    elif mode == 'qpvbv':
        args += ['--qp', str(rng.randint(0, 51))]
        if rng.random() < 0.5:
            args.append('--lqp')
        vbv = (rate, max(1, rate // rng.choice([1, 4, 25])))
    elif mode in ('abr', 'twopass'):
        args += ['--bitrate', str(rate)]
    elif mode == 'twopassvbv':
        args += ['--bitrate', str(rate)]
        vbv = (rate, max(1, rate // rng.choice([1, 4])))
    elif mode == 'crf':
        args += ['--crf', str(rng.choice([0, 10, 23, 28, 40, 51, 0.5, 50.9]))]
    elif mode == 'crfvbv':
        args += ['--crf', str(rng.choice([0, 18, 28, 51]))]
        vbv = (rate, max(1, rate // 4))
    elif mode == 'cbr':
        args += ['--bitrate', str(rate), '--cbr']
        if rng.random() < 0.3:
            vbv = (rate, max(1, rate // 2))
    elif mode == 'vbv':
        args += ['--bitrate', str(rate)]
        vbv = (rate, max(1, rate // rng.choice([1, 4, 25])))
    if vbv:
        args += ['--vbv-maxrate', str(vbv[0]), '--vbv-bufsize', str(vbv[1])]
        if rng.random() < 0.3:
            args += ['--vbv-init', str(rng.choice([0, 0.1, 0.5, 1, min(2 * vbv[1], 2000000)]))]
    if rng.random() < 0.3:
        lo = rng.randint(0, 51)
        lo, hi = rng.choice([(0, 0), (51, 51), (0, 51), (50, 51), (0, 1), (lo, lo), (lo, rng.randint(lo, 51))])
        args += ['--qpmin', str(lo), '--qpmax', str(hi)]
    if rng.random() < 0.15:
        args += ['--qpstep', str(rng.choice([1, 51]))]
    if rng.random() < 0.1:
        args += ['--ipratio', str(rng.choice([0.01, 100])), '--pbratio', str(rng.choice([0.01, 100]))]
    if rng.random() < 0.1:
        args += ['--qcomp', str(rng.choice([0, 1]))]
    aq_mode = rng.choice([0, 1, 2])
    if mode != 'plain':
        args += ['--aq-mode', str(aq_mode)]
    if rng.random() < 0.3:
        args += ['--aq-strength', str(rng.choice([0, 0.5, 2, 3]))]
    if rng.random() < 0.3:
        args.append('--no-cutree')
    if rng.random() < 0.4:
        args += ['--scenecut', str(rng.choice([0, 1, 10, 40, 100]))]
    if rng.random() < 0.15:
        args += ['--random-decisions', str(rng.randint(1, 1000))]
    if rng.random() < 0.1:
        args += ['--tune', 'lowdelay']
    elif rng.random() < 0.1:
        # The real-time speed modes, forced so that the output does not
        # depend on the machine's speed.
        args += ['--tune', 'zerolatency', '--speed-mode', str(rng.randint(0, 3))]
    for flag in ('--no-sao', '--no-deblock', '--no-wpp', '--no-rdoq', '--no-sign-hiding', '--intra-nxn'):
        if rng.random() < 0.07:
            args.append(flag)
    if rng.random() < 0.1:
        args += ['--subpel-planes', str(rng.choice([1, 2]))]
    if rng.random() < 0.1:
        args += ['--merange', str(rng.choice([4, 16, 512]))]
    # Streams for the HM decoders: ffmpeg and libde265 read version 100
    # streams without wavefronts, and no version 91 stream.
    compat = rng.choice([100] * 4 + [91] * 2 + [120] * 94)
    if compat != 120:
        args += ['--compat', str(compat)] + (['--no-wpp'] if compat == 100 else [])
    threads = rng.choice([1, 3, 8])
    tier = rng.choice([0, 2, 7])
    return {'input': path, 'w': w, 'h': h, 'frames': frames, 'mode': mode, 'args': args,
            'threads': threads, 'tier': tier, 'fps': fps, 'vbv': vbv, 'y4m_rate': y4m_rate, 'pics': pics,
            'compat': compat}


y4m_lock = threading.Lock()


def as_y4m(case, out_dir):
    """The case's raw clip as a YUV4MPEG2 file at its header rate, made
    once per clip and rate."""
    base = os.path.splitext(os.path.basename(case['input']))[0]
    path = os.path.join(out_dir, 'y4m_inputs', f'{base}_{case["y4m_rate"].replace(":", "_")}.y4m')
    with y4m_lock:
        if not os.path.exists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            pic = case['w'] * case['h'] * 3 // 2
            with open(case['input'], 'rb') as src, open(path + '.part', 'wb') as dst:
                dst.write(f'YUV4MPEG2 W{case["w"]} H{case["h"]} F{case["y4m_rate"]} Ip A1:1 C420jpeg\n'.encode())
                for _ in range(case['pics']):
                    dst.write(b'FRAME\n' + src.read(pic))
            os.rename(path + '.part', path)
    return path


def run(cmd, cwd, timeout=900, stdout=False):
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        err = p.stderr.decode(errors='replace')[-800:]
        return (p.returncode, err, p.stdout.decode(errors='replace')) if stdout else (p.returncode, err)
    except subprocess.TimeoutExpired:
        return ('timeout', '', '') if stdout else ('timeout', '')


def encode(zv, case, cwd, tag, threads, tier, extra=()):
    cmd = [zv, '--log-level', '0', '--threads', str(threads), '--cpu-flags', str(tier)] + case['args'] + list(extra)
    cmd += ['--recon', f'{tag}.rec.yuv', case['input'], f'{tag}.hevc']
    rc, err, out = run(cmd, cwd, stdout=True)
    return rc, err, ' '.join(cmd), out


def access_unit_bytes(data):
    """Bytes of each access unit of an Annex B stream, in coding order (start
    codes and leading zero bytes count with the unit they open)."""
    starts = []
    pos = data.find(b'\x00\x00\x01')
    while pos >= 0:
        begin = pos
        floor = starts[-1][1] if starts else 0
        while begin > floor and data[begin - 1] == 0:
            begin -= 1
        starts.append((begin, pos + 3))
        pos = data.find(b'\x00\x00\x01', pos + 3)
    units = []
    seen_vcl = False
    size = 0
    for i, (begin, payload) in enumerate(starts):
        end = starts[i + 1][0] if i + 1 < len(starts) else len(data)
        nal_type = (data[payload] >> 1) & 63 if payload < len(data) else 63
        if nal_type < 32:
            first_slice = payload + 2 < len(data) and data[payload + 2] & 0x80
            if first_slice and seen_vcl:
                units.append(size)
                size = 0
            seen_vcl = True
        elif nal_type in (32, 33, 34, 35, 39) or 41 <= nal_type <= 44 or 48 <= nal_type <= 55:
            if seen_vcl:
                units.append(size)
                size = 0
                seen_vcl = False
        size += end - begin
    if size:
        units.append(size)
    return units


def vbv_lowest(units, rate_kbps, size_kbit, init, fps, full_start=False):
    """Lowest fill in bits of a decoder buffer of size_kbit filled at
    rate_kbps, starting at init (a fraction up to 1, else kbit), or full."""
    size = size_kbit * 1000.0
    per_picture = rate_kbps * 1000.0 / fps
    start = 1.0 if full_start else init if init <= 1 else min(init / size_kbit, 1.0)
    fill = lowest = start * size
    for b in units:
        fill -= b * 8.0
        lowest = min(lowest, fill)
        fill = min(size, fill + per_picture)
    return lowest, size


# Options that choose the rate: dropped for the QP floor stream below.
RATE_OPTIONS = {'--qp': 1, '--bitrate': 1, '--crf': 1, '--lqp': 0, '--cbr': 0, '--vbv-maxrate': 1, '--vbv-bufsize': 1,
                '--vbv-init': 1, '--qpmin': 1, '--qpmax': 1, '--qpstep': 1, '--ipratio': 1, '--pbratio': 1,
                '--aq-mode': 1, '--aq-strength': 1, '--pass': 1, '--stats': 1}


def floor_args(args, qp):
    """The case's structure with every picture at constant QP qp and no AQ:
    about the fewest bits the rate control may reach within its QP limits."""
    kept = []
    i = 0
    while i < len(args):
        skip = RATE_OPTIONS.get(args[i])
        if skip is None:
            kept.append(args[i])
            i += 1
        else:
            i += 1 + skip
    return kept + ['--qp', str(qp), '--ipratio', '1', '--pbratio', '1', '--aq-mode', '0']


def check_vbv(zv, case, cwd, out, faults):
    m = re.search(r'vbv (\d+)/(\d+)', out)
    if not m:
        faults.append('VBV: the settings line gives no buffer')
        return
    rate, size = int(m.group(1)), int(m.group(2))
    init = 0.9
    if '--vbv-init' in case['args']:
        init = float(case['args'][case['args'].index('--vbv-init') + 1])
    data = open(os.path.join(cwd, 'a.hevc'), 'rb').read()
    units = access_unit_bytes(data)
    if len(units) != case['frames']:
        faults.append(f'VBV: {len(units)} access units in the stream, {case["frames"]} pictures encoded')
        return
    lowest, bits = vbv_lowest(units, rate, size, init, case['fps'])
    # A buffer of about one picture's refill starts full (where the rounding
    # of the rate per picture lets the encoder see it so).
    full_start = rate * 1000.0 / case['fps'] >= 0.999 * bits
    started_full = False
    if full_start:
        lowest_full, _ = vbv_lowest(units, rate, size, init, case['fps'], full_start=True)
    reported = re.search(r'VBV lowest fill (-?\d+) of (\d+) bits', out)
    if not reported:
        faults.append('VBV: no lowest fill in the end report')
    elif full_start and abs(int(reported.group(1)) - lowest_full) <= max(16, bits * 1e-7):
        lowest = lowest_full
        started_full = True
    elif abs(int(reported.group(1)) - lowest) > max(16, bits * 1e-7) or abs(int(reported.group(2)) - bits) > 1:
        faults.append(f'VBV: the end report says lowest fill {reported.group(1)} of {reported.group(2)}, '
                      f'the stream gives {lowest:.0f} of {bits:.0f}')
    case['vbv_lowest'] = round(lowest / bits, 4)
    if lowest < 0:
        what = f'VBV underflow: lowest fill {lowest:.0f} of {bits:.0f} bits ({100 * lowest / bits:.1f}%)'
        if '--random-decisions' in case['args']:
            case['vbv_unmeetable'] = 'random decisions'  # they ignore what the bits cost
            return
        # A buffer that even the highest QP allowed cannot meet (tiny
        # buffers, a low --qpmax) is the user's contradiction, not a fault.
        args = case['args']
        qpmax = int(args[args.index('--qpmax') + 1]) if '--qpmax' in args else 51
        floor_case = dict(case, args=floor_args(args, qpmax))
        rc, err, _, _ = encode(zv, floor_case, cwd, 'floor', case['threads'], case['tier'])
        if rc != 0:
            faults.append(f'{what}; the QP {qpmax} floor stream failed: exit {rc}: {err}')
            return
        floor_units = access_unit_bytes(open(os.path.join(cwd, 'floor.hevc'), 'rb').read())
        floor_lowest, _ = vbv_lowest(floor_units, rate, size, init, case['fps'], full_start=started_full)
        case['vbv_floor_lowest'] = round(floor_lowest / bits, 4)
        # Where that stream keeps the buffer from running dry, so must the
        # rate control, however little room it leaves.
        if floor_lowest < 0:
            case['vbv_unmeetable'] = f'QP {qpmax} everywhere: lowest fill {floor_lowest:.0f} of {bits:.0f}'
        else:
            faults.append(f'{what}; at QP {qpmax} everywhere the lowest fill is {floor_lowest:.0f}')


def check_case(zv, case, out_dir):
    cwd = os.path.join(out_dir, case['name'])
    os.makedirs(cwd, exist_ok=True)
    faults = []
    if case.get('y4m_rate'):
        case['input'] = as_y4m(case, out_dir)
    t, f = case['threads'], case['tier']
    extra = []
    if case['mode'].startswith('twopass'):
        rc, err, cmd, _ = encode(zv, case, cwd, 'p1', t, f, ['--pass', '1', '--stats', 'tp.log'])
        if rc == 6 and 'more than 2000000 kbit' in err:
            case['refused'] = True
            return faults
        if rc != 0:
            faults.append(f'pass 1 exit {rc}: {cmd}: {err}')
            return faults
        extra = ['--pass', '2', '--stats', 'tp.log']
    rc, err, cmd, out = encode(zv, case, cwd, 'a', t, f, extra)
    case['cmd'] = cmd
    if rc == 6 and ('too low for the second pass' in err or 'more than 2000000 kbit' in err):
        # A target below the file's fixed bits, a picture's share of a rate
        # above the largest buffer: refused by design.
        case['refused'] = True
        return faults
    if rc != 0:
        faults.append(f'exit {rc}: {err}')
        return faults
    rec = os.path.join(cwd, 'a.rec.yuv')
    pic = case['w'] * case['h'] * 3 // 2
    if os.path.getsize(rec) != pic * case['frames']:
        faults.append(f'reconstruction holds {os.path.getsize(rec)} bytes, expected {case["frames"]} pictures')
    if case.get('compat') != 91:
        decoded_same(cwd, 'a', faults)
    if case['vbv']:
        check_vbv(zv, case, cwd, out, faults)
    # Identity: another tier at the same thread count (VBV rows read timing
    # with several threads), another thread count where the rate mode keeps
    # no feedback from the pictures in flight.
    vbv = case['vbv'] is not None
    feedback = case['mode'] in ('abr', 'cbr', 'vbv', 'twopass', 'twopassvbv')

    def same_stream(tag, threads, tier, what):
        rc, err, _, _ = encode(zv, case, cwd, tag, threads, tier, extra)
        if rc != 0:
            faults.append(f'{what}: exit {rc}: {err}')
        elif open(os.path.join(cwd, f'{tag}.hevc'), 'rb').read() != open(os.path.join(cwd, 'a.hevc'), 'rb').read():
            faults.append(f'stream differs: {what}')

    if not (vbv and t > 1) and not case['mode'].startswith('twopass'):
        f2 = [x for x in (0, 2, 7) if x != f][case['seed'] % 2]
        same_stream('b', t, f2, f'--cpu-flags {f} against {f2} ({t} threads)')
        case['tiers'] = [f, f2]
    if not vbv and not feedback:
        t2 = [x for x in (1, 3, 8) if x != t][case['seed'] % 2]
        same_stream('c', t2, f, f'--threads {t} against {t2}')
        case['threads2'] = [t, t2]
    return faults


def decoded_same(cwd, tag, faults):
    """Both decoders must give back the reconstruction TAG.rec.yuv."""
    rec = open(os.path.join(cwd, f'{tag}.rec.yuv'), 'rb').read()
    # Every decoded picture, whatever the stream's timing says (at 2^31
    # pictures a second ffmpeg would drop most of them otherwise).
    rc, err = run(['ffmpeg', '-v', 'error', '-y', '-i', f'{tag}.hevc', '-fps_mode', 'passthrough', '-f', 'rawvideo',
                   '-pix_fmt', 'yuv420p', f'{tag}.ff.yuv'], cwd)
    if rc != 0 or err.strip():
        faults.append(f'ffmpeg: rc {rc} {err.strip()[:300]}')
    elif open(os.path.join(cwd, f'{tag}.ff.yuv'), 'rb').read() != rec:
        faults.append('ffmpeg decode differs from the reconstruction')
    rc, err = run(['libde265-dec265', '-q', '-o', f'{tag}.de.yuv', f'{tag}.hevc'], cwd)
    if rc != 0:
        faults.append(f'dec265: rc {rc} {err.strip()[:300]}')
    elif open(os.path.join(cwd, f'{tag}.de.yuv'), 'rb').read() != rec:
        faults.append('dec265 decode differs from the reconstruction')


def random_suite(zv, a, out):
    clips = inputs(a.inputs)
    rng = random.Random(a.seed)
    cases = []
    for i in range(a.cases):
        c = draw(rng, clips)
        c['name'] = f'c{a.seed}_{i:04d}'
        c['seed'] = i
        cases.append(c)
    if a.only:
        cases = [c for c in cases if c['name'] in a.only.split(',')]
    if a.vbv_only:
        cases = [c for c in cases if c['vbv']]
    return cases, check_case


# ---------------------------------------------------------------- options

def sample_pictures(w, h, n, seed=7):
    """N pictures of 4:2:0 content: a moving gradient with noise."""
    rng = random.Random(seed)
    frames = []
    for k in range(n):
        luma = bytes(((x * 3 + y * 2 + k * 5) + rng.randint(0, 12)) & 255 for y in range(h) for x in range(w))
        chroma = bytes((128 + ((x + y + k) & 15)) for y in range(h // 2) for x in range(w // 2))
        frames.append(luma + chroma + chroma)
    return frames


HOSTILE = {
    'N': ['-1', '1.5', 'nan', 'inf', '', ' ', '12abc', '0x10', '1e3', '+', '-', '--', '- 1', ' 5', '5 ',
          '99999999999999999999', '-99999999999999999999', '2147483648', '4294967297', '-2147483649',
          '\u0663', '5,0', '1_000'],
    'F': ['nan', 'NaN', 'inf', '-inf', 'infinity', '-1', '', ' ', '1e3', '1e-400', '.', '-.', '1.2.3', '0x1p3',
          '9' * 60, '1,5', '5f', '--', '- 1', '1..2'],
    'SEED': ['-1', 'nan', '', '12abc', '99999999999999999999', '1.5'],
    'NAME': ['', 'foo', ' ', 'zerolatency,', 'zero latency', '\x01'],
    'WxH': ['', 'x', '16x', 'x16', '0x0', '-16x16', '16x-16', '16x16x16', '16*16', '99999999999x16', '17x16',
            '16x17', '100000x100000', '16x16abc', 'nanxnan', ' 16x16', '16 x16', '2x99999'],
    'N[/D]': ['0', '0/1', '1/0', '-25', '25/-1', 'nan', '', '/', '25/', '/25', '25//1', '2147483648', '25.5',
              '1e3', '30000/1001/1', '-1/-1', 'inf', '25/0.5'],
    'FILE': ['', '/nonexistent-dir/x'],
}
# Hostile values of an option's placeholder that the option takes all the
# same: --speed-mode also reads runs MxN ("0x10": ten pictures of mode 0).
VALID_FOR = {'speed-mode': {'0x10'}}
# The exit codes a bad value may end with, by the placeholder of the option.
HOSTILE_EXITS = {'WxH': {2, 4}, 'FILE': {1, 2, 3, 5}}


def option_table(zv):
    """(name, placeholder) of every option that takes a value, from --help."""
    out = subprocess.run([zv, '--help'], stdout=subprocess.PIPE).stdout.decode()
    # Options start their line two blanks in; a wrapped description may
    # start a line with another option's name ("--lqp chooses another mode").
    return re.findall(r'^  --([a-z0-9-]+) (\S+)', out, re.M)


def options_cases(zv, a, out):
    # One raw input (named with its size) and one picture size for all.
    src = os.path.join(out, 'opt_16x16.yuv')
    with open(src, 'wb') as fh:
        fh.write(b''.join(sample_pictures(16, 16, 3)))
    cases = []
    table = option_table(zv)
    for name, ph in table:
        for v in HOSTILE.get(ph, HOSTILE['N']):
            if v in VALID_FOR.get(name, ()):
                continue
            args = [f'--{name}', v]
            if name == 'stats':
                args = ['--pass', '1'] + args
            cases.append({'kind': 'bad', 'args': args, 'option': name, 'ph': ph})
        # The same through --opt=value, and the option left without a value.
        if ph != 'FILE':
            cases.append({'kind': 'bad', 'args': [f'--{name}=nan'], 'option': name, 'ph': ph})
        cases.append({'kind': 'usage', 'args': [f'--{name}'], 'option': name, 'ph': ph, 'last': True})
        if ph in ('N', 'F', 'SEED') and name != 'vbv-init':  # a fraction 0..1, or kbit above it
            cases.append({'kind': 'range', 'args': [f'--{name}', '-99999999999'], 'option': name, 'ph': ph})
    structural = [
        (['--qpp', '5'], {1}), (['-q', '5'], {1}), (['---qp', '5'], {1}), (['--qp=5=6'], {2}), (['--qp='], {2}),
        (['--='], {1}), (['--'], {0, 1}), (['-'], {1}),
        (['--bitrate', '100', '--crf', '20'], {2}), (['--qpmin', '40', '--qpmax', '20'], {2}),
        (['--vbv-maxrate', '100'], {2}), (['--vbv-bufsize', '100'], {2}), (['--cbr'], {2}),
        (['--cbr', '--crf', '20'], {2}), (['--pass', '2', '--stats', 'none.log'], {2, 3}),
        (['--pass', '3'], {2}), (['--seek', '3'], {4}), (['--seek', '2147483647'], {4}),
        (['--help', '--qp', 'nan'], {0, 2}), (['--version', 'extra'], {0, 1}),
    ]
    for args, exits in structural:
        cases.append({'kind': 'fixed', 'args': args, 'exits': sorted(exits), 'option': args[0], 'ph': ''})
    cases.append({'kind': 'fixed', 'args': [], 'no_input': True, 'exits': [1], 'option': '(no input)', 'ph': ''})
    cases.append({'kind': 'fixed', 'args': [], 'extra_files': ['b.hevc', 'c.hevc'], 'exits': [1],
                  'option': '(extra file)', 'ph': ''})
    # Random command lines: valid options around one bad value.
    rng = random.Random(a.seed)
    valid = [['--qp', '30'], ['--complexity', '2'], ['--bframes', '3'], ['--aq-mode', '1'], ['--no-sao'],
             ['--threads', '2'], ['--crf', '30'], ['--keyint', '1'], ['--fps', '30000/1001'], ['--no-wpp']]
    for _ in range(a.cases):
        name, ph = rng.choice(table)
        bad = [f'--{name}', rng.choice(HOSTILE.get(ph, HOSTILE['N']))]
        if name == 'stats':
            bad = ['--pass', '1'] + bad
        pre = [x for v in rng.sample(valid, rng.randint(0, 3)) for x in v]
        post = [x for v in rng.sample(valid, rng.randint(0, 2)) for x in v]
        cases.append({'kind': 'bad', 'args': pre + bad + post, 'option': name, 'ph': ph})
    for i, c in enumerate(cases):
        c['name'] = f'o{a.seed}_{i:04d}'
        c['seed'] = i
        c['input'] = src
    return cases, check_option_case


def zv_run(zv, args, cwd, src, out_name='o.hevc', extra_files=(), no_input=False, timeout=120):
    cmd = [zv, '--log-level', '0', '--frames', '2'] + args
    if not no_input:
        cmd += [src, out_name] + list(extra_files)
    rc, err, out = run(cmd, cwd, timeout=timeout, stdout=True)
    return rc, err, out, cmd


def crashed(rc):
    return rc == 'timeout' or (isinstance(rc, int) and (rc < 0 or rc >= 128))


def check_option_case(zv, case, out_dir):
    cwd = os.path.join(out_dir, case['name'])
    os.makedirs(cwd, exist_ok=True)
    faults = []
    args = list(case['args'])
    if case.get('last'):
        # The option with its value missing: it must be the last word.
        cmd = [zv, case['input'], 'o.hevc'] + args
        rc, err, _ = run(cmd, cwd, timeout=120, stdout=True)
    else:
        rc, err, _, cmd = zv_run(zv, args, cwd, case['input'], extra_files=case.get('extra_files', ()),
                                 no_input=case.get('no_input', False))
    case['cmd'] = ' '.join(repr(x) if (not x or ' ' in x or not x.isprintable()) else x for x in cmd)
    case['rc'] = rc
    if crashed(rc):
        return [f'crash or hang: exit {rc}: {err.strip()[-300:]}']
    if case['kind'] == 'fixed':
        if rc not in case['exits']:
            faults.append(f'exit {rc}, expected one of {case["exits"]}: {err.strip()[-200:]}')
        if rc != 0 and not err.strip():
            faults.append('no message on stderr')
        return faults
    if case['kind'] == 'usage':
        expect = {1}
    else:
        expect = HOSTILE_EXITS.get(case['ph'], {2})
    if rc == 0:
        faults.append('accepted: ' + ' '.join(repr(x) for x in args))
    elif rc not in expect:
        faults.append(f'exit {rc}, expected one of {sorted(expect)}: {err.strip()[-200:]}')
    if rc != 0:
        if not err.strip():
            faults.append('no message on stderr')
        elif case['option'] not in err and case['ph'] not in ('WxH', 'FILE'):
            faults.append(f'the message does not name --{case["option"]}: {err.strip()[-200:]}')
        if os.path.exists(os.path.join(cwd, 'o.hevc')):
            faults.append('an output file was written')
    if case['kind'] == 'range' and rc == 2:
        m = re.search(r'(-?\d+(?:\.\d+)?)\.\.(-?\d+(?:\.\d+)?)', err)
        if m:
            check_range_ends(zv, case, cwd, m.group(1), m.group(2), faults)
    return faults


def check_range_ends(zv, case, cwd, lo, hi, faults):
    """Both ends of the range a message names must be accepted (or refused
    with a message for a reason other than the value's range); one step
    outside must give exit 2."""
    integer = '.' not in lo + hi
    step = 1 if integer else 0.001
    extra = ['--pass', '1'] if case['option'] == 'stats' else []
    if case['option'] in ('vbv-maxrate', 'vbv-bufsize', 'vbv-init'):
        extra = ['--bitrate', '100', '--vbv-maxrate', '100', '--vbv-bufsize', '100']
    for text, inside in ((lo, True), (hi, True),
                         (fmt_num(float(lo) - step, integer), False), (fmt_num(float(hi) + step, integer), False)):
        args = extra + [f'--{case["option"]}', text]
        rc, err, out, cmd = zv_run(zv, args, cwd, case['input'], out_name=f'r{len(faults)}_{text}.hevc', timeout=300)
        where = ' '.join(args)
        case.setdefault('ends', []).append([where, rc])
        if crashed(rc):
            faults.append(f'{where}: crash or hang: exit {rc}: {err.strip()[-300:]}')
        elif inside and rc == 2:
            faults.append(f'{where}: a value inside the named range refused: {err.strip()[-200:]}')
        elif inside and rc != 0 and not err.strip():
            faults.append(f'{where}: exit {rc} without a message')
        elif not inside and rc != 2:
            faults.append(f'{where}: a value outside the named range gives exit {rc}')


def fmt_num(x, integer):
    return str(int(round(x))) if integer else f'{x:.3f}'


# ---------------------------------------------------------------- y4m

def y4m_cases(zv, a, out):
    w, h = 16, 16
    pics = sample_pictures(w, h, 3)
    good = 'YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420jpeg\n'

    def body(header, frames=pics, marker='FRAME\n'):
        return header.encode('latin-1') + b''.join(marker.encode() + f for f in frames)

    # (name, bytes, expected: 'ok' N pictures | 'bad')
    table = [
        ('plain', body(good), ('ok', 3)),
        ('no C tag', body('YUV4MPEG2 W16 H16 F25:1\n'), ('ok', 3)),
        ('C420', body('YUV4MPEG2 W16 H16 F25:1 C420\n'), ('ok', 3)),
        ('C420mpeg2', body('YUV4MPEG2 W16 H16 F25:1 C420mpeg2\n'), ('ok', 3)),
        ('C420paldv', body('YUV4MPEG2 W16 H16 F25:1 C420paldv\n'), ('ok', 3)),
        ('I?', body('YUV4MPEG2 W16 H16 F25:1 I?\n'), ('ok', 3)),
        ('X comment', body('YUV4MPEG2 W16 H16 F25:1 XYSCSS=420JPEG Xfoo\n'), ('ok', 3)),
        ('NTSC rate', body('YUV4MPEG2 W16 H16 F30000:1001\n'), ('ok', 3)),
        ('no rate', body('YUV4MPEG2 W16 H16\n'), ('ok', 3)),
        ('FRAME params', body(good, marker='FRAME Ixyz Xabc\n'), ('ok', 3)),
        ('truncated last picture', body(good)[:-100], ('ok', 2)),
        ('truncated in the marker', body(good, pics[:2]) + b'FRA', ('ok', 2)),
        ('marker only at the end', body(good, pics[:2]) + b'FRAME\n', ('ok', 2)),
        ('It', body('YUV4MPEG2 W16 H16 F25:1 It\n'), 'bad'),
        ('Ib', body('YUV4MPEG2 W16 H16 F25:1 Ib\n'), 'bad'),
        ('Im', body('YUV4MPEG2 W16 H16 F25:1 Im\n'), 'bad'),
        ('Ix', body('YUV4MPEG2 W16 H16 F25:1 Ix\n'), 'bad'),
        ('C422', body('YUV4MPEG2 W16 H16 F25:1 C422\n'), 'bad'),
        ('C444', body('YUV4MPEG2 W16 H16 F25:1 C444\n'), 'bad'),
        ('Cmono', body('YUV4MPEG2 W16 H16 F25:1 Cmono\n'), 'bad'),
        ('C420p10', body('YUV4MPEG2 W16 H16 F25:1 C420p10\n'), 'bad'),
        ('C444alpha', body('YUV4MPEG2 W16 H16 F25:1 C444alpha\n'), 'bad'),
        ('C411', body('YUV4MPEG2 W16 H16 F25:1 C411\n'), 'bad'),
        ('no W', body('YUV4MPEG2 H16 F25:1\n'), 'bad'),
        ('no H', body('YUV4MPEG2 W16 F25:1\n'), 'bad'),
        ('W0', body('YUV4MPEG2 W0 H16 F25:1\n'), 'bad'),
        ('W-16', body('YUV4MPEG2 W-16 H16 F25:1\n'), 'bad'),
        ('W15', body('YUV4MPEG2 W15 H16 F25:1\n'), 'bad'),
        ('Wabc', body('YUV4MPEG2 Wabc H16 F25:1\n'), 'bad'),
        ('W16abc', body('YUV4MPEG2 W16abc H16 F25:1\n'), 'bad'),
        ('huge W', body('YUV4MPEG2 W99999999999 H16 F25:1\n'), 'bad'),
        ('W beyond the level', body('YUV4MPEG2 W16890 H2 F25:1\n'), 'bad'),
        ('F0:1', body('YUV4MPEG2 W16 H16 F0:1\n'), 'bad'),
        ('F1:0', body('YUV4MPEG2 W16 H16 F1:0\n'), 'bad'),
        ('F-25:1', body('YUV4MPEG2 W16 H16 F-25:1\n'), 'bad'),
        ('Fabc', body('YUV4MPEG2 W16 H16 Fabc\n'), 'bad'),
        ('F huge', body('YUV4MPEG2 W16 H16 F99999999999:1\n'), 'bad'),
        ('CR', body('YUV4MPEG2 W16 H16 F25:1\r\n'), 'bad'),
        ('no newline', b'YUV4MPEG2 W16 H16 F25:1', 'bad'),
        ('header only', b'YUV4MPEG2 W16 H16 F25:1\n', 'bad'),
        ('empty', b'', 'bad'),
        ('magic only', b'YUV4MPEG2\n', 'bad'),
        ('YUV4MPEG', body('YUV4MPEG W16 H16 F25:1\n'), 'bad'),
        ('long line', b'YUV4MPEG2 W16 H16 X' + b'a' * 200000 + b'\n' + pics[0], 'bad'),
        ('NUL in header', body('YUV4MPEG2 W16\x00 H16 F25:1\n'), 'bad'),
        ('first marker missing', good.encode() + pics[0] + b'FRAME\n' + pics[1], 'bad'),
        ('FRAM', body(good, marker='FRAM\n'), 'bad'),
        ('frame without newline', body(good, marker='FRAME'), 'bad'),
        ('second marker damaged', good.encode() + b'FRAME\n' + pics[0] + b'FRAMX\n' + pics[1], ('ok', 1)),
        ('marker lower case', body(good, marker='frame\n'), 'bad'),
        # Either reading is sound here; a crash, a hang or a silent wrong
        # size is not.
        ('long FRAME parameters', body(good, marker='FRAME X' + 'a' * 100000 + '\n'), ('any', 3)),
        ('W twice', body('YUV4MPEG2 W16 H16 W32 F25:1\n'), 'bad'),
        ('C twice', body('YUV4MPEG2 W16 H16 C420 C420jpeg\n'), 'bad'),
        ('X twice', body('YUV4MPEG2 W16 H16 Xa Xb\n'), ('ok', 3)),
        ('trailing blank', body('YUV4MPEG2 W16 H16 F25:1 \n'), ('any', 3)),
        ('two blanks', body('YUV4MPEG2 W16  H16 F25:1\n'), ('any', 3)),
        ('F25 without denominator', body('YUV4MPEG2 W16 H16 F25\n'), ('any', 3)),
        ('A0:0', body('YUV4MPEG2 W16 H16 F25:1 A0:0\n'), ('ok', 3)),
        ('FRAME with CR', body(good, marker='FRAME\r\n'), ('any', 3)),
        ('tab separator', body('YUV4MPEG2\tW16 H16 F25:1\n'), ('any', 3)),
    ]
    cases = []
    for i, (name, data, expect) in enumerate(table):
        path = os.path.join(out, f'y4m_{i:02d}.y4m')
        with open(path, 'wb') as fh:
            fh.write(data)
        cases.append({'name': f'y{i:02d}', 'what': name, 'input': path, 'expect': expect, 'seed': i})
    return cases, check_y4m_case


def check_y4m_case(zv, case, out_dir):
    cwd = os.path.join(out_dir, case['name'])
    os.makedirs(cwd, exist_ok=True)
    cmd = [zv, '--log-level', '0', '--bframes', '1', '--recon', 'a.rec.yuv', case['input'], 'a.hevc']
    rc, err, out = run(cmd, cwd, timeout=120, stdout=True)
    case['cmd'] = ' '.join(cmd)
    case['rc'] = rc
    case['err'] = err.strip()[-200:]
    faults = []
    if crashed(rc):
        return [f'crash or hang: exit {rc}: {err.strip()[-300:]}']
    expect = case['expect']
    if expect == 'bad':
        # A damaged later marker may also be read as the end of the input:
        # either way a message must say what happened.
        if rc != 4:
            faults.append(f'{case["what"]}: exit {rc}, expected 4: {err.strip()[-200:]}')
        elif not err.strip():
            faults.append(f'{case["what"]}: exit 4 without a message')
        return faults
    kind, pictures = expect
    if kind == 'any' and rc == 4:
        return [] if err.strip() else [f'{case["what"]}: exit 4 without a message']
    if rc != 0:
        if case['what'] == 'second marker damaged' and rc == 4 and err.strip():
            return faults  # refusing the damaged marker outright is sound too
        return [f'{case["what"]}: exit {rc}, expected 0: {err.strip()[-200:]}']
    size = os.path.getsize(os.path.join(cwd, 'a.rec.yuv'))
    if size != pictures * 16 * 16 * 3 // 2:
        faults.append(f'{case["what"]}: {size} reconstruction bytes, expected {pictures} pictures')
    if pictures < 3 and 'warning' not in err.lower() and 'truncat' not in err.lower():
        faults.append(f'{case["what"]}: pictures left out without a warning')
    decoded_same(cwd, 'a', faults)
    return faults


def summarise(cases):
    """Cases, failures, unmeetable buffers and identity checks by rate
    mode."""
    rows = {}
    for c in cases:
        r = rows.setdefault(c['mode'], [0] * 6)
        r[0] += 1
        r[1] += bool(c['faults'])
        r[2] += bool(c['vbv'])
        r[3] += 'vbv_unmeetable' in c
        r[4] += 'tiers' in c
        r[5] += 'threads2' in c
    print('mode        cases failed   vbv unmeetable tier-checks thread-checks')
    for mode, r in sorted(rows.items()):
        print(f'{mode:<11} {r[0]:5} {r[1]:6} {r[2]:5} {r[3]:10} {r[4]:11} {r[5]:13}')


# ---------------------------------------------------------------- main

SUITES = {'random': random_suite, 'options': options_cases, 'y4m': y4m_cases}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('ziravov')
    ap.add_argument('inputs')
    ap.add_argument('out')
    ap.add_argument('--suite', choices=sorted(SUITES) + ['all'], default='random')
    ap.add_argument('--cases', type=int, default=50, help='random cases (random suite; random lines of the options suite)')
    ap.add_argument('--jobs', type=int, default=3)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--only', default='', help='random suite: run only these cases (names, comma-separated)')
    ap.add_argument('--vbv-only', action='store_true',
                    help='random suite: of the cases drawn, run only those with a buffer (same names as without it)')
    a = ap.parse_args()
    zv = os.path.abspath(a.ziravov)
    os.makedirs(a.out, exist_ok=True)
    out = os.path.abspath(a.out)
    suites = sorted(SUITES) if a.suite == 'all' else [a.suite]
    bad = passed = 0
    for suite in suites:
        cases, check = SUITES[suite](zv, a, out)
        done = []
        log = open(os.path.join(out, f'results_{suite}_{a.seed}.jsonl'), 'a')
        with cf.ThreadPoolExecutor(a.jobs) as ex:
            futs = {ex.submit(check, zv, c, out): c for c in cases}
            for fu in cf.as_completed(futs):
                c = futs[fu]
                try:
                    faults = fu.result()
                except Exception as e:  # noqa: BLE001 - a harness failure is reported like a fault
                    faults = [f'harness: {e!r}']
                c['faults'] = faults
                done.append(c)
                log.write(json.dumps(c) + '\n')
                log.flush()
                if faults:
                    bad += 1
                    print(f'FAIL {c["name"]}: {c.get("cmd", "")}\n   ' + '\n   '.join(faults), flush=True)
                else:
                    passed += 1
                    shutil.rmtree(os.path.join(out, c['name']), ignore_errors=True)
        if suite == 'random':
            summarise(done)
    print(f'{passed} passed, {bad} failed')
    return 1 if bad else 0


if __name__ == '__main__':
    sys.exit(main())
