#include "common/cabac_tables.h"

#include <array>

namespace {

// H.265 Table 9-47: transIdxLps.
constexpr uint8_t trans_idx_lps[64] = {
    0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9,  11, 11, 12, 13, 13, 15, 15, 16, 16,
    18, 18, 19, 19, 21, 21, 22, 22, 23, 24, 24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30,
    31, 32, 32, 33, 33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63,
};

constexpr uint8_t make_state(int32_t p_state, int32_t mps) { return static_cast<uint8_t>(2 * (63 - p_state) + mps); }

// H.265 9.3.4.3.2.2: an MPS moves one state towards certainty (state 62 is
// the last adaptive one); an LPS follows transIdxLps and swaps the MPS when
// it hits the equiprobable state.
constexpr std::array<uint8_t, 256> make_transitions() {
  std::array<uint8_t, 256> t{};
  for (int32_t s = 0; s < 128; s++) {
    const int32_t p = 63 - (s >> 1), mps = s & 1;
    for (int32_t bin = 0; bin < 2; bin++)
      t[s * 2 + bin] = bin == mps ? make_state(p < 62 ? p + 1 : p, mps)
                                  : make_state(trans_idx_lps[p], p == 0 ? 1 - mps : mps);
  }
  return t;
}

}  // namespace

// round(256 * -log2 P) of the bin's probability, with the LPS probability of
// pStateIdx p taken as 0.5 * a^p, a^63 = 0.01875 / 0.5.  Even indices are
// MPS bins, odd ones LPS bins; consecutive pairs go from pStateIdx 63 down
// to the equiprobable state 0.
constexpr std::array<uint16_t, 128> cabac_bit_cost_table = {
    7,   1469, 7,   1449, 8,   1430, 8,   1411, 9,   1392, 9,   1372, 10,  1353, 10,  1334,
    11,  1315, 11,  1295, 12,  1276, 12,  1257, 13,  1238, 14,  1218, 15,  1199, 15,  1180,
    16,  1161, 17,  1141, 18,  1122, 19,  1103, 20,  1084, 21,  1064, 22,  1045, 24,  1026,
    25,  1007, 26,  987,  28,  968,  29,  949,  31,  930,  33,  910,  35,  891,  37,  872,
    39,  853,  41,  833,  43,  814,  46,  795,  48,  776,  51,  756,  54,  737,  57,  718,
    60,  699,  64,  679,  68,  660,  72,  641,  76,  622,  80,  602,  85,  583,  90,  564,
    96,  545,  102, 525,  108, 506,  115, 487,  122, 468,  130, 448,  139, 429,  148, 410,
    157, 391,  168, 371,  180, 352,  192, 333,  206, 314,  221, 294,  238, 275,  256, 256,
};

constexpr std::array<uint8_t, 256> cabac_transition_table = make_transitions();

