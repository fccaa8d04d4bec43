#!/usr/bin/env python3
"""Where the wall time of a multi-threaded encode goes, from the trace that a
build with -DTARN_SCHED_TRACE=ON writes at close to the file named by the
environment variable TARN_TRACE (one event per line: kind, thread, three
numbers, start and end in ns).

Prints creation and close times, the time until the first CTU starts, how
long 0, 1, 2, ... workers were coding CTUs, the caller thread's steps, and a
replay of the traced CTU times on ideal workers under the row scheduler's
rules (wavefront inside a picture, reference rows and columns as far as the
vectors reach): the parallelism the dependencies allow, which the machine's
load does not change.

Then, from the trace's own times: how long each CTU waited after its
dependencies were met, split by whether its worker went on along its row
or another worker had to pick it up (a wake-up, then a search under the
scheduler's lock), with the workers' waits for that lock and their wake-up
calls; and the dependency chain that bounds the encode on unlimited
workers, picture by picture (the first intra picture, coded alone in its
wavefront, is often most of it).

Usage: bench/thread_trace.py [--cpu] TRACE REACH [WORKERS] [CONTEXTS]
REACH is the vertical vector limit in rows (56 below complexity 4, 120 from
it); WORKERS defaults to 8, CONTEXTS (frame contexts) to 12.  With --cpu the
replays and the dependency chain take each CTU's CPU time instead of its
wall time, which on a loaded machine also holds the time the system gave to
other programs while the CTU's thread waited.
"""
import collections
import heapq
import sys


def load(path):
    """The events, and the CPU time (ns) of each CTU job where the trace has
    it (an eighth column; older traces have seven)."""
    events, cpu = [], {}
    for line in open(path):
        f = line.split()
        k, tid, a, b, c, t0, t1 = f[0], int(f[1]), int(f[2]), int(f[3]), int(f[4]), int(f[5]), int(f[6])
        events.append((k, tid, a, b, c, t0, t1))
        if k == 'C' and len(f) > 7:
            cpu[(a, b, c)] = int(f[7])
    return events, cpu


def summary(ev):
    ms = lambda ns: ns / 1e6
    opened = next(e for e in ev if e[0] == 'A')
    closed = next(e for e in ev if e[0] == 'Z')
    t0 = opened[5]
    ctus = [e for e in ev if e[0] == 'C']
    print(f"creation {ms(opened[6] - opened[5]):.1f} ms, close {ms(closed[6] - closed[5]):.1f} ms, "
          f"creation to end of close {ms(closed[6] - t0):.1f} ms")
    print(f"first CTU starts at {ms(min(e[5] for e in ctus) - t0):.1f} ms, "
          f"last ends at {ms(max(e[6] for e in ctus) - t0):.1f} ms")
    parts = collections.Counter()
    for e in ev:
        if e[0] in 'Gz':
            parts[(e[0], e[2])] += e[6] - e[5]
    made = {1: 'lookahead engine', 2: 'picture pool', 3: 'frame contexts', 4: 'rate control', 5: 'scheduler',
            6: 'row contexts (own thread)'}
    freed = {1: 'scheduler', 2: 'frame contexts (own thread)', 3: 'picture pool', 4: 'lookahead engine',
             5: 'row contexts released beside the last pictures, before it'}
    if parts:
        print("creation (ms): " + ", ".join(f"{v} {ms(parts[('G', k)]):.1f}" for k, v in made.items()))
        print("close (ms): " + ", ".join(f"{v} {ms(parts[('z', k)]):.1f}" for k, v in freed.items()))
    work = [e for e in ev if e[0] in 'CRXB']
    points = sorted([(e[5], 1) for e in work] + [(e[6], -1) for e in work])
    busy = collections.Counter()
    cur, last = 0, t0
    for t, d in points:
        busy[cur] += t - last
        cur += d
        last = t
    busy[cur] += closed[6] - last
    total = sum(e[6] - e[5] for e in work)
    print("time with k workers coding (ms): " +
          ", ".join(f"{k}: {ms(v):.0f}" for k, v in sorted(busy.items())))
    print(f"worker time {ms(total):.0f} ms, on average {total / (closed[6] - t0):.2f} workers coding")
    names = {'I': 'input', 'L': 'type decisions', 'E': 'their estimates', 'U': 'their CU-tree propagation',
             'S': 'picture starts', 'W': 'waits for the oldest picture', 'O': 'output'}
    caller = collections.Counter()
    for e in ev:
        if e[0] in names:
            caller[e[0]] += e[6] - e[5]
    print("caller thread (ms): " + ", ".join(f"{names[k]} {ms(v):.0f}" for k, v in caller.items()))
    pool = {'P': 'picture preparations', 'T': 'intra estimates on entry'}
    # Type decisions ('L', with their estimates 'E' and propagation 'U' inside)
    # run on the caller's thread or on the lookahead pool behind it.
    spent = collections.Counter()
    for e in ev:
        if e[0] in pool:
            spent[e[0]] += e[6] - e[5]
    if spent:
        print("lookahead pool beside the caller (ms): " + ", ".join(f"{pool[k]} {ms(v):.0f}" for k, v in spent.items()))


def needed_rows(r, reach):
    return ((r + 1) * 64 + reach + 6) // 64


def needed_top_rows(r, reach):
    """The CTU row whose top rows (all but the last 4 luma, 2 chroma) hold
    the last reference row that CTU row r reads."""
    return max((64 * (r + 1) + reach + 7) // 64, (32 * (r + 1) + 3 + (4 * reach + 3) // 8) // 32)


def ctu_graph(ev):
    """CTU times (ms from creation), references and picture starts."""
    topen = next(e for e in ev if e[0] == 'A')[5]
    start, end, thread, refs, submit = {}, {}, {}, collections.defaultdict(list), {}
    for k, tid, a, b, c, t0, t1 in ev:
        if k == 'C':
            start[(a, b, c)] = (t0 - topen) / 1e6
            end[(a, b, c)] = (t1 - topen) / 1e6
            thread[(a, b, c)] = tid
        elif k == 'r':
            refs[a].append(b)
        elif k == 'S':
            submit[a] = (t1 - topen) / 1e6
    rows = max(k[1] for k in end) + 1
    cols = max(k[2] for k in end) + 1
    return start, end, thread, refs, submit, rows, cols


def dependencies(key, refs, rows, cols, reach, row_slots):
    """The CTUs whose end lets CTU `key` start under the scheduler's rules,
    as a list of alternatives per rule (a rule is met by its earliest)."""
    p, r, c = key
    rules = []
    if c > 0:
        rules.append([(p, r, c - 1)])
    if r > 0:
        rules.append([(p, r - 1, min(c + 1, cols - 1))])
    if c == 0 and r >= row_slots:
        rules.append([(p, r - row_slots, cols - 1)])
    need = min(rows - 1, needed_rows(r, reach))
    top = needed_top_rows(r, reach)
    for q in refs[p]:
        whole = [(q, min(rows - 1, need + 1), cols - 1)]
        last = needed_rows(c, reach)
        if top < rows - 1 and last < cols - 1:
            # The row whose top rows are read far enough along.
            whole.append((q, top, last + 1))
        rules.append(whole)
    return rules


def met_at(alt, end):
    return max(end[k] for k in alt) if isinstance(alt[0], tuple) else end[alt]


def start_delays(ev, reach, workers):
    start, end, thread, refs, submit, rows, cols = ctu_graph(ev)
    slots = min(rows, workers + 2)
    kinds = collections.defaultdict(list)
    for key in start:
        ready = submit.get(key[0], 0.0)
        own = False
        for rule in dependencies(key, refs, rows, cols, reach, slots):
            t = min(met_at(a, end) for a in rule)
            if t > ready:
                ready = t
        p, r, c = key
        if c > 0 and thread[(p, r, c - 1)] == thread[key] and end[(p, r, c - 1)] >= ready:
            own = True
        kinds['went on along its row' if own else 'picked up by another worker'].append(start[key] - ready)
    for k, v in kinds.items():
        v.sort()
        n = len(v)
        print(f"CTU start after its dependencies, {k}: {n} CTUs, {sum(v):.0f} ms in all, median "
              f"{1000 * v[n // 2]:.0f} us, 9 in 10 within {1000 * v[int(n * 0.9)]:.0f} us, {sum(x > 1 for x in v)} over 1 ms")
    spent = collections.Counter()
    for e in ev:
        if e[0] in 'ky':
            spent[e[0]] += e[6] - e[5]
    if spent:
        print(f"workers' waits for the scheduler's lock after a CTU {spent['k'] / 1e6:.0f} ms, "
              f"their wake-up calls {spent['y'] / 1e6:.0f} ms")


def critical_path(ev, reach, workers, cpu=None):
    """The chain of CTUs that ends last when every CTU starts as soon as its
    dependencies allow (unlimited workers, the traced CTU times, or their
    CPU times when `cpu` is given)."""
    start, end, thread, refs, submit, rows, cols = ctu_graph(ev)
    slots = min(rows, workers + 2)
    dur = {k: (cpu[k] / 1e6 if cpu else end[k] - start[k]) for k in start}
    order = sorted(submit, key=lambda p: submit[p])
    fin, why = {}, {}
    for p in order:
        for r in range(rows):
            for c in range(cols):
                key = (p, r, c)
                t0, by = 0.0, None
                for rule in dependencies(key, refs, rows, cols, reach, slots):
                    alt = min(rule, key=lambda a: max(fin[k] for k in a) if isinstance(a[0], tuple) else fin[a])
                    last = max(alt, key=lambda k: fin[k]) if isinstance(alt[0], tuple) else alt
                    if fin[last] > t0:
                        t0, by = fin[last], last
                fin[key] = t0 + dur[key]
                why[key] = by
    key = max(fin, key=lambda k: fin[k])
    bound = fin[key]
    chain = []
    while key:
        if not chain or chain[-1][0] != key[0]:
            chain.append([key[0], 0, 0.0])
        chain[-1][1] += 1
        chain[-1][2] += dur[key]
        key = why[key]
    total = sum(dur.values())
    first = order[0]
    print(f"dependency bound on unlimited workers {bound:.0f} ms for {total:.0f} ms of CTU work (parallelism "
          f"{total / bound:.2f}); picture {first} alone is {sum(d for k, d in dur.items() if k[0] == first):.0f} ms "
          f"of the work")
    print("its chain, last picture first: " + ", ".join(f"{p} ({n} CTUs, {t:.0f} ms)" for p, n, t in chain))


def replay(ev, reach, workers, contexts, timed=False, cpu=None):
    """timed: each picture enters no earlier than the caller started it (ms
    after creation began), so the start-up's reading and deciding count.
    cpu: each CTU takes its CPU time instead of its wall time."""
    dur, refs, order = {}, collections.defaultdict(list), []
    topen = next(e for e in ev if e[0] == 'A')[5]
    submit = {}
    for k, _, a, b, c, t0, t1 in ev:
        if k == 'S':
            submit[a] = (t0 - topen) / 1e6
        if k == 'C':
            dur[(a, b, c)] = (cpu[(a, b, c)] if cpu else t1 - t0) / 1e6
        elif k == 'r':
            refs[a].append(b)
        elif k == 'S':
            order.append(a)
    rows = max(k[1] for k in dur) + 1
    cols = max(k[2] for k in dur) + 1
    prog = {p: [0] * rows for p in order}
    busy = {p: [False] * rows for p in order}
    done = set()

    def needed(r):
        return ((r + 1) * 64 + reach + 6) // 64

    def final_rows(p):
        n = 0
        while n < rows and (prog[p][n] == cols and (n == rows - 1 or prog[p][n + 1] == cols)):
            n += 1
        return n

    def ready(p, r):
        c = prog[p][r]
        if busy[p][r] or c >= cols:
            return False
        if r > 0 and not (prog[p][r - 1] == cols or prog[p][r - 1] >= c + 2):
            return False
        need = min(rows - 1, needed(r))
        for q in refs[p]:
            if q in done or q not in prog:
                continue
            fr = final_rows(q)
            if fr > need:
                continue
            last, top = needed(c), needed_top_rows(r, reach)
            if top >= rows - 1 or last >= cols - 1 or prog[q][top] < last + 2:
                return False
        return True

    t, running, free, inflight, nxt = 0.0, [], workers, [], 0
    if timed:
        t = min(submit.values())
    while True:
        while nxt < len(order) and len(inflight) < contexts and (not timed or submit[order[nxt]] <= t):
            inflight.append(order[nxt])
            nxt += 1
        for p in inflight:
            for r in range(rows):
                if free > 0 and p not in done and ready(p, r):
                    busy[p][r] = True
                    free -= 1
                    heapq.heappush(running, (t + dur.get((p, r, prog[p][r]), 0.0), p, r))
        if not running:
            if timed and nxt < len(order) and len(inflight) < contexts:
                t = max(t, submit[order[nxt]])
                continue
            break
        t, p, r = heapq.heappop(running)
        free += 1
        busy[p][r] = False
        prog[p][r] += 1
        if all(x == cols for x in prog[p]):
            done.add(p)
        while inflight and inflight[0] in done:
            inflight.pop(0)
    total = sum(dur.values())
    if timed:
        print(f"the same with the traced picture starts: the last CTU ends {t:.0f} ms after creation began "
              f"(the start-up's reading and deciding included; later starts wait for the real collects too)")
        return
    print(f"replay on {workers} ideal workers, {contexts} frame contexts: CTU work {total:.0f} ms in {t:.0f} ms, "
          f"parallelism {total / t:.2f} ({len(order)} pictures of {cols}x{rows} CTUs)")


def main():
    use_cpu = '--cpu' in sys.argv[1:]
    args = [a for a in sys.argv[1:] if a != '--cpu']
    if len(args) < 2:
        print(__doc__)
        sys.exit(2)
    ev, cpu = load(args[0])
    if use_cpu and not cpu:
        print("the trace has no CPU times (made before they were recorded): --cpu needs a new trace")
        sys.exit(2)
    cpu = cpu if use_cpu else None
    reach = int(args[1])
    workers = int(args[2]) if len(args) > 2 else 8
    summary(ev)
    if cpu:
        total = sum(cpu.values())
        wall = sum(e[6] - e[5] for e in ev if e[0] == 'C')
        print(f"CTU jobs: {total / 1e6:.0f} ms of CPU time in {wall / 1e6:.0f} ms of wall time (the rest: the system "
              f"ran something else); the replays below take the CPU times")
    for timed in (False, True):
        replay(ev, reach, workers, int(args[3]) if len(args) > 3 else 12, timed, cpu)
    start_delays(ev, reach, workers)
    critical_path(ev, reach, workers, cpu)


if __name__ == '__main__':
    main()
