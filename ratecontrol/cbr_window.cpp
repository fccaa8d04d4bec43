// The CBR picture-bit window: targets for the pictures of a sliding window,
// weighted by picture class and pulled back towards the average rate by the
// bits under- or over-spent so far.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ratecontrol/cbr.h"

cbr_window_t *cbr_window_create(int32_t avg, int32_t max, int32_t min, int32_t span, int32_t group, int32_t threads,
                                int32_t ctu_count) {
  cbr_window_t *w = static_cast<cbr_window_t *>(std::calloc(1, sizeof(cbr_window_t)));
  if (!w) return nullptr;
  w->avg_bits = avg;
  w->max_bits = max;
  w->min_bits = min;
  w->ctu_count = ctu_count;
  w->span = std::max(span, 1);
  w->low = (static_cast<int64_t>(min) - avg) * w->span / 2;
  w->high = (static_cast<int64_t>(max) - avg) * w->span / 2;
  w->low_near = w->low / 4;
  w->high_near = w->high / 4;
  w->ring_size = std::max({8, group, w->span});
  w->threads = threads;
  const size_t n = static_cast<size_t>(w->ring_size);
  w->targets = static_cast<int32_t *>(std::calloc(n, sizeof(int32_t)));
  w->actual = static_cast<int32_t *>(std::calloc(n, sizeof(int32_t)));
  w->flags = static_cast<uint8_t *>(std::calloc(n, 1));
  w->classes = static_cast<uint8_t *>(std::malloc(n));
  if (!w->targets || !w->actual || !w->flags || !w->classes) {
    cbr_window_free(w);
    return nullptr;
  }
  w->intra_frame = -1;
  for (int32_t c = 0; c < 3; c++) w->learned_at[c] = -1;
  std::memset(w->classes, CBR_CLASS_EMPTY, n);
  w->class_count[CBR_CLASS_EMPTY] = w->ring_size;
  cbr_window_reset(w);
  return w;
}

void cbr_window_free(cbr_window_t *w) {
  if (!w) return;
  std::free(w->targets);
  std::free(w->actual);
  std::free(w->flags);
  std::free(w->classes);
  std::free(w);
}

void cbr_window_reset(cbr_window_t *w) {
  w->weights[0] = 1.8;
  w->weights[1] = 1.0;
  w->weights[2] = 0.6;
  w->since_reset = -2;
}

void cbr_window_predict(cbr_window_t *w, int32_t c, int32_t out[3]) {
  const int32_t p = w->pos, ring = w->ring_size;
  w->count++;
  w->since_reset++;
  // The window grows to its length over the first pictures.
  int64_t len = w->span;
  if (w->count <= w->span) {
    const int64_t b = std::max(w->span, 11);
    len = std::max<int64_t>(w->count, (static_cast<int64_t>(w->count) - 1) * (b - 6) / (b - 1) + 6);
  }
  // The class weights follow what the classes actually took, once the
  // pictures since an intra picture have come back.
  // They wait, too, until a B class predicted has a picture back: from the
  // P pictures alone P weighed 1.0 beside B pictures at 1.0 and 0.6, and
  // the first P pictures after an intra picture were given half their
  // share (foreman, 24 pictures at four threads: 41% below the rate).
  w->predicted[c]++;
  const bool b_pending = w->predicted[1] + w->predicted[2] > 0 && w->class_count[1] + w->class_count[2] == 0;
  if (c == CBR_CLASS_IP && w->since_reset >= w->threads && !b_pending) {
    const int64_t n = static_cast<int64_t>(w->class_count[0]) + w->class_count[1] + w->class_count[2];
    if (n > 0) {
      double a[3], sum_a = 0.0;
      // Each class weighs what it took: raised to the mean, the B classes
      // weighed about as much as P pictures, whose targets then fell short
      // of the group's share, while the B pictures, which take their
      // references' QP, did not spend what they were given.
      for (int32_t k = 0; k < 3; k++) {
        a[k] = static_cast<double>(w->class_bits[k]);
        if (w->class_count[k] > 0) sum_a += a[k];
      }
      for (int32_t k = 0; k < 3; k++)
        if (w->class_count[k] > 0 && sum_a > 0.0) w->weights[k] = a[k] / w->class_count[k] * (n / sum_a);
    }
  }
  // Bits of the window so far: coded pictures by their size, the pictures
  // in flight by their targets.
  const int32_t in_flight = ((p - w->done_pos) % ring + ring) % ring;
  int64_t used = 0;
  for (int32_t j = p - w->span + 1; j < p; j++) {
    const int32_t s = (j % ring + ring) % ring;
    used += j >= p - in_flight ? w->targets[s] : w->actual[s];
  }
  if (w->count == 1) used = 0;
  // While the window grows to its length its ceiling is at least the one
  // over its whole length, the pictures before the first counted at the
  // average: over the shorter length alone the first intra picture and the
  // pictures in flight took all of it, and a P picture a dozen pictures in
  // was given 30 bits (bus looped to 60 pictures at four threads: its QP 6
  // up, two groups at 60% of their share, the stream 10% below the rate).
  // The first picture keeps the shorter length's: at 10 pictures a second
  // a one-second ceiling leaves an intra picture nothing to spare.
  const int64_t before = w->span - std::min(w->count, w->span);
  const int64_t hi_len = w->max_bits * len - used;
  const int64_t hi_full = w->max_bits * static_cast<int64_t>(w->span) - used - w->avg_bits * before;
  const int64_t base = static_cast<int64_t>(w->avg_bits * w->weights[c]);
  // Without a buffer it is never below the picture's share at the floor
  // rate: once a picture has taken the window past its ceiling by itself
  // (a key picture at 10 pictures a second, 1.3-1.75 seconds of the rate),
  // holding the rest of the window under it cannot undo that, and the
  // pictures after it, given 40 bits each, came 4-7 QPs coarser and the
  // second after the key picture to 0.14-0.4 times the rate (flower 480x272
  // at 60-300 kb/s).  Under a buffer its plan holds the pictures after
  // such a one within the fill: with the floor there, 4 of 108 flower
  // streams in buffers of half a second to one ran it dry.
  int64_t hi = w->count == 1 ? hi_len : std::max(hi_len, hi_full);
  if (!w->buffered) hi = std::max(hi, base * w->min_bits / std::max(w->avg_bits, 1));
  const int64_t lo = w->min_bits * len - used;
  // The pictures in flight are counted at their targets: each of them has
  // already been given its share of the correction, and counting only the
  // coded pictures made every picture started before the first returned
  // correct the same shortfall again (with twelve in flight, three times
  // over, and the rate swung from second to second).
  int64_t level = w->level;
  for (int32_t j = p - in_flight; j < p; j++) level += w->avg_bits - w->targets[(j % ring + ring) % ring];
  w->under_spent = level > w->high_near;
  int64_t adj;
  if (w->low_near < level && level < w->high_near)
    adj = static_cast<int64_t>(base * 0.2);
  else if (w->low < level && level < w->high)
    adj = static_cast<int64_t>(base * 0.5);
  else
    adj = static_cast<int64_t>(base * 0.8);
  // The level is paid back over the window's length rather than a quarter
  // of it at each picture: the pictures after this one correct it too, and
  // a quarter per picture swung the rate of a second from 0.2 to 2.5 times.
  // Over the pictures left when the input ends sooner: paid back over a
  // window that runs on, the over-spend of a short clip's intra picture was
  // never paid back (bus, 17 pictures: 28-54% above the rate).
  const int64_t horizon = w->to_come > 0 ? std::min<int64_t>(w->span, w->to_come) : w->span;
  // When the input ends within the window each picture pays back by its
  // class's weight: the B pictures, held at or above their references' QP,
  // cannot take an equal share, and what they left stayed unspent (flower
  // 720p, 30 pictures at four threads: 8-10% below the rate).
  const double share = horizon < w->span ? w->weights[c] : 1.0;
  int64_t t = base + std::clamp(static_cast<int64_t>(static_cast<double>(level) / horizon * share), -adj, adj);
  w->at_floor = t < lo;
  t = std::max(t, lo);
  t = std::min(t, hi);
  t = std::max<int64_t>(t, w->ctu_count);
  auto i32 = [](int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); };
  w->targets[p] = i32(t);
  // The stream's second this picture falls in, up to it.
  int64_t second = 0;
  const int32_t sec = std::min(w->per_second, w->span);
  const int32_t from = sec > 0 ? p - (w->count - 1) % sec : p;
  for (int32_t j = from; j <= p; j++) {
    const int32_t s = (j % ring + ring) % ring;
    second += j >= p - in_flight ? w->targets[s] : w->actual[s];
  }
  w->second_full = sec > 0 && second > static_cast<int64_t>(w->max_bits) * sec;
  w->pos = (p + 1) % ring;
  out[0] = i32(t);
  out[1] = i32(std::max<int64_t>(hi, 16 * static_cast<int64_t>(w->ctu_count)));
  out[2] = i32(std::max<int64_t>(lo, w->ctu_count / 4));
}

int32_t cbr_window_intra_target(const cbr_window_t *w, int32_t bits) {
  const int64_t n = w->to_come, s = w->span;
  if (n <= 0 || n >= s || s < 2) return bits;
  // The intra picture keeps its weight against the window's other pictures
  // (each given what it leaves of the window's bits) and the bits of the
  // pictures that are left are shared out at those weights: a lone picture
  // takes the rate, and 17 pictures at 30 a second take their half second's
  // worth rather than an intra picture a second's window planned.
  const double avg = w->avg_bits;
  const double other = std::max(static_cast<double>(s) * avg - bits, 0.05 * avg) / static_cast<double>(s - 1);
  const double r = bits / other;
  return static_cast<int32_t>(std::min<double>(bits, r * n * avg / (r + n - 1)));
}

int32_t cbr_window_key_ceiling(const cbr_window_t *w, int32_t key_period) {
  if (w->buffered || key_period <= 0) return 0;
  // Without a buffer a periodic key picture may take the window's whole
  // ceiling (1.5 windows of the rate), whatever the pictures before it in
  // the window took, and is paid back over the seconds after it.  Held to
  // what the P pictures before it had left of the sliding window's
  // ceiling, the key picture at 250 of flower at 10 pictures a second was
  // given 6 kbit at 80 kb/s and its CTUs stepped 3 QPs coarser than its QP:
  // it took 1.1 seconds of the rate at QP 32, where one pass at the same
  // average bitrate gives it 2.8 at QP 23, and the pictures that predict
  // from it came out 4-5 dB below that pass's for two seconds.  Not more:
  // while it is in their window the pictures after it are given little
  // more than their floor share, and with them its second stays near 1.8
  // times the rate (over 42 flower streams at 60-300 kb/s 1.85 at most,
  // 1.79 at 80-300; at 1.6 windows 1.85 at 100 kb/s).  Nor more than an
  // eighth of its period's bits: a key picture every two seconds taking
  // 1.5 windows would leave the others a quarter of the rate.
  const int64_t whole = static_cast<int64_t>(w->max_bits) * w->span;
  const int64_t period = static_cast<int64_t>(w->avg_bits) * key_period / 8;
  return static_cast<int32_t>(std::min<int64_t>({whole, period, INT32_MAX}));
}

void cbr_window_intra(cbr_window_t *w, int32_t index, int32_t frame, int32_t key_period) {
  // What a class learned in one scene says little of the next: after a cut
  // from foreman to bus its pictures took two to three times their plans.
  w->at_cut = w->intra_frame >= 0 && (key_period <= 0 || frame - w->intra_frame < key_period);
  if (w->intra_frame < 0 || w->at_cut) {
    w->scene_from = index;
    for (int32_t c = 0; c < 3; c++) w->scene_learned[c] = 0;
  }
  w->intra_frame = frame;
}

void cbr_window_learned(cbr_window_t *w, int32_t c, int32_t index) {
  w->learned[c]++;
  w->learned_at[c] = std::max(w->learned_at[c], index);
  if (index >= w->scene_from) w->scene_learned[c]++;
}

bool cbr_window_blind(const cbr_window_t *w, int32_t c) { return w->learned_at[c] < w->scene_from; }

void cbr_window_store(cbr_window_t *w, int32_t bits) {
  w->targets[(w->pos - 1 + w->ring_size) % w->ring_size] = bits;
}

void cbr_window_update(cbr_window_t *w, int32_t bits, int32_t c, int32_t counted) {
  const int32_t d = w->done_pos;
  const int32_t old = w->classes[d];
  if (w->flags[d]) {
    w->class_bits[old] -= w->actual[d];
    w->class_count[old]--;
  }
  w->level += static_cast<int64_t>(w->avg_bits) - bits;
  w->classes[d] = static_cast<uint8_t>(c);
  w->actual[d] = bits;
  w->flags[d] = counted ? 1 : 0;
  if (counted) {
    w->class_bits[c] += bits;
    w->class_count[c]++;
  }
  w->done_pos = (d + 1) % w->ring_size;
}
