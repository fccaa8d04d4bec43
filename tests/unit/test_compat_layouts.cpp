// Parameter sets, slice headers, entry points, context initialisation and
// unit types under each HM compatibility (91, 100, 120), bit by bit against
// field lists written from the layouts the HM 9.1 and 10.0 decoders read and
// from H.265 7.3 for the final standard.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bitstream/bitwriter.h"
#include "bitstream/cabac.h"
#include "bitstream/nal.h"
#include "bitstream/param_sets.h"
#include "ratecontrol/key_picture.h"
#include "tarnhevcenc.h"

namespace {

const int32_t kCompats[] = {91, 100, 120};

// An expected bit string, built field by field.
struct bits_t {
  std::string s;
  bits_t &u(uint64_t v, int n) {
    for (int i = n - 1; i >= 0; i--) s += ((v >> i) & 1) ? '1' : '0';
    return *this;
  }
  bits_t &flag(bool b) { return u(b ? 1 : 0, 1); }
  // H.265 9.2: leading zeros, then codeNum + 1 in binary.
  bits_t &ue(uint32_t v) {
    const uint64_t x = static_cast<uint64_t>(v) + 1;
    int n = 0;
    while ((x >> n) > 1) n++;
    s += std::string(static_cast<size_t>(n), '0');
    return u(x, n + 1);
  }
  bits_t &se(int32_t v) { return ue(v > 0 ? static_cast<uint32_t>(2 * v - 1) : static_cast<uint32_t>(-2 * v)); }
  bits_t &trailing() {
    s += '1';
    while (s.size() % 8) s += '0';
    return *this;
  }
};

// Runs a writer and returns exactly the bits it wrote.
template <typename F>
std::string written_bits(F write) {
  std::vector<uint8_t> buf(4096, 0);
  bitwriter_t bw;
  bw_init(&bw, buf.data(), buf.size() - 16);
  write(&bw);
  const int64_t n = bw_bits(&bw);
  bw_flush(&bw);
  std::string s;
  for (int64_t i = 0; i < n; i++) s += ((buf[static_cast<size_t>(i / 8)] >> (7 - i % 8)) & 1) ? '1' : '0';
  return s;
}

// Where two bit strings part, for a readable failure.
std::string first_difference(const std::string &got, const std::string &want) {
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) i++;
  if (i == got.size() && i == want.size()) return "equal";
  return "bit " + std::to_string(i) + " of " + std::to_string(got.size()) + " written, " +
         std::to_string(want.size()) + " expected";
}

#define EXPECT_BITS(got, want, what)                                                 \
  do {                                                                              \
    const std::string g_ = (got), w_ = (want);                                      \
    EXPECT_EQ(g_, w_) << (what) << ": " << first_difference(g_, w_);                \
  } while (0)

sps_t test_sps(int32_t compat) {
  sps_t s{};
  s.pic_width = 360;
  s.pic_height = 240;
  s.conf_win_right = 2;
  s.conf_win_bottom = 0;
  s.log2_min_cb = 3;
  s.log2_ctb = 6;
  s.log2_min_tb = 2;
  s.log2_max_tb = 5;
  s.max_tr_depth_intra = 4;
  s.max_tr_depth_inter = 3;
  s.log2_max_poc_lsb = 8;
  s.max_dec_pic_buffering = 5;
  s.max_num_reorder = 2;
  s.amp_enabled = 0;
  s.sao_enabled = 1;
  s.temporal_mvp_enabled = 1;
  s.level_idc = 63;
  s.fps_num = 30000;
  s.fps_den = 1001;
  s.compat = compat;
  return s;
}

// general profile, tier and level with sub-layer flags all 0.
bits_t &expect_ptl(bits_t &b, int32_t compat, int32_t level, int32_t sub_layers_minus1) {
  b.u(0, 2).u(0, 1).u(1, 5);  // profile space, tier, Main
  b.u(0x60000000u, 32);       // compatible with Main and Main 10
  if (compat == 91) {
    b.u(0, 16).u(static_cast<uint64_t>(level), 8);
    for (int32_t i = 0; i < sub_layers_minus1; i++) b.u(0, 2);  // interleaved, no padding
    return b;
  }
  b.flag(true).flag(false).flag(false).flag(true);  // progressive, interlaced, non-packed, frame-only
  b.u(0, 44).u(static_cast<uint64_t>(level), 8);
  for (int32_t i = 0; i < sub_layers_minus1; i++) b.u(0, 2);
  if (sub_layers_minus1 > 0)
    for (int32_t i = sub_layers_minus1; i < 8; i++) b.u(0, 2);
  return b;
}

TEST(CompatLayout, ProfileTierLevelPerCompat) {
  for (const int32_t compat : kCompats)
    for (const int32_t sub : {0, 1, 4, 7}) {
      bits_t want;
      expect_ptl(want, compat, 93, sub);
      const std::string got =
          written_bits([&](bitwriter_t *bw) { write_profile_tier_level(bw, 93, sub, compat); });
      EXPECT_BITS(got, want.s, "compat " + std::to_string(compat) + " sub-layers-1 " + std::to_string(sub));
    }
  // Sizes without sub-layers: 96 bits, 64 bits in the 9.1 form.
  EXPECT_EQ(written_bits([](bitwriter_t *bw) { write_profile_tier_level(bw, 30, 0, 120); }).size(), 96u);
  EXPECT_EQ(written_bits([](bitwriter_t *bw) { write_profile_tier_level(bw, 30, 0, 91); }).size(), 64u);
}

TEST(CompatLayout, VideoParameterSetPerCompat) {
  for (const int32_t compat : kCompats) {
    const sps_t sps = test_sps(compat);
    bits_t want;
    want.u(0, 4);  // vps_video_parameter_set_id
    if (compat == 91) {
      want.flag(true).u(3, 2).u(0, 6).u(0, 3);  // nesting, reserved three, reserved zero, sub-layers
    } else {
      want.u(3, 2).u(0, 6).u(0, 3).flag(true);  // base layer flags, max layers, sub-layers, nesting
    }
    want.u(0xffff, 16);
    expect_ptl(want, compat, 63, 0);
    if (compat == 91) want.flag(false).flag(false);  // bit rate and picture rate info
    want.flag(true).ue(4).ue(2).ue(0);               // ordering info: one set
    if (compat == 91) {
      want.ue(0).u(0, 6);  // no HRD parameters, max nuh_reserved_zero_layer_id
    } else {
      want.u(0, 6).ue(0);                               // max layer id, layer sets
      want.flag(true).u(1001, 32).u(30000, 32);         // timing
      want.flag(false).ue(0);                           // poc proportional, no HRD parameters
    }
    want.flag(false).trailing();  // extension
    const std::string got = written_bits([&](bitwriter_t *bw) { write_vps(bw, &sps); });
    EXPECT_BITS(got, want.s, "VPS compat " + std::to_string(compat));
    // The two bytes after the unit header, then the 0xFFFF field.
    const uint32_t head = static_cast<uint32_t>(std::stoul(got.substr(0, 32), nullptr, 2));
    EXPECT_EQ(head, compat == 91 ? 0x0E00FFFFu : 0x0C01FFFFu) << compat;
  }
}

TEST(CompatLayout, SequenceParameterSetWithVuiPerCompat) {
  for (const int32_t compat : kCompats) {
    const sps_t sps = test_sps(compat);
    bits_t want;
    want.u(0, 4).u(0, 3).flag(true);  // VPS id, sub-layers, nesting
    expect_ptl(want, compat, 63, 0);
    want.ue(0).ue(1).ue(360).ue(240);             // SPS id, 4:2:0, size
    want.flag(true).ue(0).ue(2).ue(0).ue(0);      // conformance window
    want.ue(0).ue(0).ue(4);                       // bit depths, POC lsb bits - 4
    want.flag(true).ue(4).ue(2).ue(0);            // ordering info
    want.ue(0).ue(3).ue(0).ue(3).ue(3).ue(4);     // block sizes, transform depths inter, intra
    want.flag(false).flag(false).flag(true).flag(false);  // scaling lists, AMP, SAO, PCM
    want.ue(0).flag(false);                       // no RPS in the SPS, no long-term pictures
    want.flag(true).flag(false);                  // temporal MVP, strong intra smoothing
    want.flag(true);                              // VUI present
    want.flag(false).flag(false).flag(false).flag(false).flag(false);  // aspect .. neutral chroma
    want.flag(false);                             // field_seq_flag, never 1
    if (compat == 91) {
      want.flag(false).flag(false);               // display window placeholder, pic_struct_present
      want.flag(true).flag(true).u(1001, 32).u(30000, 32);  // HRD block with the timing
      want.flag(false).flag(false);               // no NAL, no VCL HRD
      want.flag(false).flag(false).ue(0);         // fixed rate, low delay, cpb_cnt_minus1
      want.flag(false);                           // poc_proportional_to_timing_flag
    } else {
      want.flag(false).flag(false);               // frame-field info, display window
      want.flag(true).u(1001, 32).u(30000, 32);   // timing
      want.flag(false).flag(false);               // poc proportional, HRD
    }
    want.flag(false);             // bitstream_restriction_flag
    want.flag(false).trailing();  // extension
    const std::string got = written_bits([&](bitwriter_t *bw) { write_sps(bw, &sps); });
    EXPECT_BITS(got, want.s, "SPS compat " + std::to_string(compat));
  }
}

struct pps_case_t {
  int32_t sign_hiding, cu_qp_delta, depth, wpp, deblock_off;
};

TEST(CompatLayout, PictureParameterSetPerCompat) {
  const pps_case_t cases[] = {{1, 0, 0, 0, 0}, {0, 1, 3, 1, 1}, {1, 1, 0, 1, 0}};
  for (const int32_t compat : kCompats)
    for (const pps_case_t &c : cases) {
      pps_t pps{};
      pps.sign_data_hiding = c.sign_hiding;
      pps.num_ref_idx_l0_default = 2;
      pps.num_ref_idx_l1_default = 1;
      pps.init_qp = 26;
      pps.cu_qp_delta_enabled = c.cu_qp_delta;
      pps.diff_cu_qp_delta_depth = c.depth;
      pps.entropy_coding_sync = c.wpp;
      pps.deblocking_disabled = c.deblock_off;
      pps.compat = compat;
      bits_t want;
      want.ue(0).ue(0).flag(false);  // ids, dependent slices
      if (compat != 91) want.flag(false).u(0, 3);  // output flag, extra header bits
      want.flag(c.sign_hiding).flag(false).ue(1).ue(0).se(0);  // cabac_init_present, ref idx, init QP
      want.flag(false).flag(false).flag(c.cu_qp_delta);  // constrained intra, transform skip
      if (c.cu_qp_delta) want.ue(static_cast<uint32_t>(c.depth));
      want.se(0).se(0).flag(false).flag(false).flag(false);  // chroma offsets, weighted P and B
      if (compat == 91) want.flag(false);                    // output_flag_present_flag moved here
      want.flag(false).flag(false).flag(c.wpp).flag(false);  // bypass, tiles, wavefront, across slices
      want.flag(true).flag(false).flag(c.deblock_off);       // deblocking control, override, disabled
      if (!c.deblock_off) want.se(0).se(0);
      want.flag(false).flag(false).ue(0);  // scaling lists, list modification, merge level
      if (compat == 91) want.u(0, 3);      // num_extra_slice_header_bits moved here
      want.flag(false).flag(false).trailing();
      const std::string got = written_bits([&](bitwriter_t *bw) { write_pps(bw, &pps); });
      EXPECT_BITS(got, want.s,
                  "PPS compat " + std::to_string(compat) + " qp delta " + std::to_string(c.cu_qp_delta) + " wpp " +
                      std::to_string(c.wpp) + " deblock off " + std::to_string(c.deblock_off));
    }
}

struct slice_case_t {
  const char *what;
  uint8_t nal_type;
  int32_t slice_type;  // 0 B, 1 P, 2 I
  int32_t poc;
  std::vector<int32_t> delta, used;
  int32_t l0, l1;
  int32_t sao, wpp;
  std::vector<uint32_t> entries;  // substream bytes as entry points count them
};

// The slice segment header as H.265 7.3.6.1 orders it, with the temporal
// MVP flag after the SAO flags and entry points without "minus 1" for 9.1.
std::string expect_slice_header(const slice_case_t &c, int32_t compat, int32_t qp) {
  const bool idr = c.nal_type == NAL_IDR_W_RADL || c.nal_type == NAL_IDR_N_LP;
  const bool irap = c.nal_type >= 16 && c.nal_type <= 23;
  bits_t b;
  b.flag(true);
  if (irap) b.flag(false);
  b.ue(0).ue(static_cast<uint32_t>(c.slice_type));
  const bool tmvp = c.slice_type != 2;
  if (!idr) {
    b.u(static_cast<uint64_t>(c.poc) & 255, 8).flag(false);
    // Negative deltas (closest first), then positive ones: the cases list them so.
    uint32_t nn = 0, np = 0;
    for (const int32_t d : c.delta) (d < 0 ? nn : np)++;
    b.ue(nn).ue(np);
    int32_t prev = 0;
    for (size_t i = 0; i < c.delta.size(); i++) {
      const int32_t d = c.delta[i];
      if (d < 0) {
        b.ue(static_cast<uint32_t>(prev - d - 1)).flag(c.used[i] != 0);
        prev = d;
      }
    }
    prev = 0;
    for (size_t i = 0; i < c.delta.size(); i++) {
      const int32_t d = c.delta[i];
      if (d > 0) {
        b.ue(static_cast<uint32_t>(d - prev - 1)).flag(c.used[i] != 0);
        prev = d;
      }
    }
    if (compat != 91) b.flag(tmvp);
  }
  b.flag(c.sao).flag(c.sao);
  if (!idr && compat == 91) b.flag(tmvp);
  if (c.slice_type != 2) {
    b.flag(true).ue(static_cast<uint32_t>(c.l0 - 1));
    if (c.slice_type == 0) b.ue(static_cast<uint32_t>(c.l1 - 1)).flag(false);  // mvd_l1_zero_flag
    const bool from_l0 = c.slice_type != 0;
    if (c.slice_type == 0) b.flag(from_l0);
    if ((from_l0 ? c.l0 : c.l1) > 1) b.ue(0);  // collocated_ref_idx
    b.ue(0);                                   // five_minus_max_num_merge_cand
  }
  b.se(qp - 26);
  if (c.wpp) {
    b.ue(static_cast<uint32_t>(c.entries.size()));
    if (!c.entries.empty()) {
      const uint32_t minus = compat == 91 ? 0 : 1;
      uint32_t max_value = 0;
      for (const uint32_t e : c.entries) max_value = std::max(max_value, e - minus);
      int len = 1;
      while ((max_value >> len) != 0) len++;
      b.ue(static_cast<uint32_t>(len - 1));
      for (const uint32_t e : c.entries) b.u(e - minus, len);
    }
  }
  b.trailing();  // byte_alignment()
  return b.s;
}

TEST(CompatLayout, SliceSegmentHeaderPerCompat) {
  const slice_case_t cases[] = {
      {"IDR, SAO", NAL_IDR_N_LP, 2, 0, {}, {}, 0, 0, 1, 0, {}},
      {"CRA, SAO, wavefront", NAL_CRA, 2, 40, {-8}, {0}, 0, 0, 1, 1, {300, 1024, 2}},
      {"P, no SAO", NAL_TRAIL_R, 1, 9, {-1, -5}, {1, 0}, 1, 0, 0, 0, {}},
      {"P two references, wavefront", NAL_TRAIL_N, 1, 300, {-1, -2}, {1, 1}, 2, 0, 1, 1, {1000, 997}},
      {"B pyramid, SAO", NAL_TRAIL_N, 0, 6, {-2, -4, 2}, {1, 1, 1}, 2, 2, 1, 0, {}},
      {"RASL B, wavefront", NAL_RASL_R, 0, 7, {-1, 1}, {1, 1}, 2, 2, 0, 1, {4096, 1, 513}},
  };
  for (const int32_t compat : kCompats)
    for (const slice_case_t &c : cases) {
      sps_t sps = test_sps(compat);
      sps.sao_enabled = 1;
      pps_t pps{};
      pps.init_qp = 26;
      pps.entropy_coding_sync = c.wpp;
      pps.compat = compat;
      slice_header_t sh{};
      sh.nal_type = c.nal_type;
      sh.slice_type = c.slice_type;
      sh.poc = c.poc;
      sh.slice_qp = 31;
      sh.sao_luma = sh.sao_chroma = c.sao;
      sh.rps_count = static_cast<int32_t>(c.delta.size());
      sh.rps_delta = c.delta.data();
      sh.rps_used = c.used.data();
      sh.num_ref_active[0] = c.l0;
      sh.num_ref_active[1] = c.l1;
      sh.col_from_l0 = c.slice_type != 0;
      sh.max_merge_cand = 5;
      sh.num_entry_points = static_cast<int32_t>(c.entries.size());
      sh.entry_point_sizes = c.entries.data();
      const std::string got = written_bits([&](bitwriter_t *bw) { write_slice_header(bw, &sps, &pps, &sh); });
      EXPECT_BITS(got, expect_slice_header(c, compat, 31), std::string(c.what) + ", compat " + std::to_string(compat));
    }
}

// A substream of `size` RBSP bytes whose escaping inserts `epb` prevention
// bytes (00 00 0x patterns), ending in a byte with a 1 bit as every
// substream does.
std::vector<uint8_t> substream_with_epb(uint32_t size, uint32_t epb) {
  std::vector<uint8_t> s(size);
  for (uint32_t i = 0; i < size; i++) s[i] = static_cast<uint8_t>(0x40 + i % 97);
  for (uint32_t k = 0; k < epb; k++) {
    const uint32_t at = 10 + k * 37;
    s[at] = 0;
    s[at + 1] = 0;
    s[at + 2] = static_cast<uint8_t>(k % 4);
  }
  s[size - 1] = 0x80;
  return s;
}

// The worked example: a substream of 1000 payload bytes, 2 of them
// prevention bytes.  The final standard writes 999, 10.0 997, 9.1 998.
TEST(CompatLayout, EntryPointsCountPreventionBytesOnlyInTheFinalStandard) {
  const std::vector<uint8_t> sub = substream_with_epb(998, 2);
  ASSERT_EQ(nal_count_epb(sub.data(), sub.size()), 2u);
  std::vector<uint8_t> escaped(2 * sub.size());
  ASSERT_EQ(nal_escape(escaped.data(), sub.data(), sub.size()), 1000u);
  const uint32_t want[] = {999, 997, 998};  // entry-point field values for 120, 100, 91
  for (const int32_t compat : kCompats) {
    const uint32_t bytes = entry_point_bytes(compat, sub.data(), static_cast<uint32_t>(sub.size()));
    sps_t sps = test_sps(compat);
    sps.sao_enabled = 0;
    pps_t pps{};
    pps.init_qp = 26;
    pps.entropy_coding_sync = 1;
    pps.compat = compat;
    slice_header_t sh{};
    sh.nal_type = NAL_IDR_N_LP;
    sh.slice_type = 2;
    sh.slice_qp = 26;
    sh.num_entry_points = 1;
    sh.entry_point_sizes = &bytes;
    const std::string got = written_bits([&](bitwriter_t *bw) { write_slice_header(bw, &sps, &pps, &sh); });
    // first slice, no_output_of_prior_pics, PPS id, I, QP delta, one entry of 10 bits.
    const uint32_t value = want[compat == 120 ? 0 : compat == 100 ? 1 : 2];
    bits_t b;
    b.flag(true).flag(false).ue(0).ue(2).se(0).ue(1).ue(9).u(value, 10).trailing();
    EXPECT_BITS(got, b.s, "compat " + std::to_string(compat));
  }
  // No prevention byte: every compat counts the same bytes.
  const std::vector<uint8_t> plain = substream_with_epb(50, 0);
  for (const int32_t compat : kCompats) EXPECT_EQ(entry_point_bytes(compat, plain.data(), 50), 50u) << compat;
}

// pStateIdx and valMps of an init value at a QP (H.265 9.3.2.2), as the
// coder's state byte 2 * (63 - pStateIdx) + valMps.
uint8_t state_of(int32_t v, int32_t qp) {
  const int32_t m = (v >> 4) * 5 - 45, n = ((v & 15) << 3) - 16;
  int32_t pre = ((m * qp) >> 4) + n;
  pre = pre < 1 ? 1 : pre > 126 ? 126 : pre;
  const int32_t mps = pre > 63;
  const int32_t p = mps ? pre - 64 : 63 - pre;
  return static_cast<uint8_t>(2 * (63 - p) + mps);
}

// HM 9.1 has the I and B rows of sao_type_idx and split_transform_flag
// exchanged; every other context starts as in the final standard.
TEST(CompatLayout, ContextInitialisationOfHm91) {
  struct row_t {
    int32_t ctx;
    int32_t final_values[3];  // initType 0, 1, 2
    int32_t hm91_values[3];
  };
  const row_t rows[] = {
      {CTX_SAO_TYPE_IDX, {200, 185, 160}, {160, 185, 200}},
      {CTX_SPLIT_TRANSFORM + 0, {153, 124, 224}, {224, 124, 153}},
      {CTX_SPLIT_TRANSFORM + 1, {138, 138, 167}, {167, 138, 138}},
      {CTX_SPLIT_TRANSFORM + 2, {138, 94, 122}, {122, 94, 138}},
  };
  // slice type code (0 B, 1 P, 2 I) and cabac_init_flag -> initType
  const int32_t kinds[][3] = {{2, 0, 0}, {1, 0, 1}, {0, 0, 2}, {1, 1, 2}, {0, 1, 1}};
  for (const int32_t qp : {0, 22, 37, 51})
    for (const auto &k : kinds) {
      cabac_est_t final_est, hm91_est, hm100_est;
      cabac_init_contexts(&final_est, k[0], qp, k[1], 120);
      cabac_init_contexts(&hm100_est, k[0], qp, k[1], 100);
      cabac_init_contexts(&hm91_est, k[0], qp, k[1], 91);
      const std::string what = "slice type " + std::to_string(k[0]) + " init flag " + std::to_string(k[1]) +
                               " qp " + std::to_string(qp);
      EXPECT_EQ(std::memcmp(final_est.state, hm100_est.state, sizeof(final_est.state)), 0) << what;
      for (const row_t &r : rows) {
        EXPECT_EQ(final_est.state[r.ctx], state_of(r.final_values[k[2]], qp)) << what << " ctx " << r.ctx;
        EXPECT_EQ(hm91_est.state[r.ctx], state_of(r.hm91_values[k[2]], qp)) << what << " ctx " << r.ctx;
      }
      for (int32_t c = 0; c < static_cast<int32_t>(sizeof(final_est.state)); c++) {
        if (c == CTX_SAO_TYPE_IDX || (c >= CTX_SPLIT_TRANSFORM && c < CTX_SPLIT_TRANSFORM + 3)) continue;
        EXPECT_EQ(hm91_est.state[c], final_est.state[c]) << what << " ctx " << c;
      }
    }
}

TEST(CompatLayout, Hm91CodesNonReferenceLeadingPicturesAsReferenceOnes) {
  for (int t = 0; t < 64; t++) {
    const uint8_t type = static_cast<uint8_t>(t);
    const uint8_t hm91 = type == NAL_RADL_N ? uint8_t{NAL_RADL_R} : type == NAL_RASL_N ? uint8_t{NAL_RASL_R} : type;
    EXPECT_EQ(nal_type_for_compat(91, type), hm91) << t;
    EXPECT_EQ(nal_type_for_compat(100, type), type) << t;
    EXPECT_EQ(nal_type_for_compat(120, type), type) << t;
  }
}

// Key pictures asked for one after another in coding order, with the
// pictures between them.
struct key_sequence_t {
  const char *what;
  int32_t compat;
  std::vector<uint32_t> wanted;  // per picture in coding order (non-key types pass through)
  std::vector<uint32_t> coded;
};

constexpr uint32_t IDR = TARNHEVCENC_TYPE_IDR, CRA = TARNHEVCENC_TYPE_CRA, P = TARNHEVCENC_TYPE_P,
                   B = TARNHEVCENC_TYPE_B;

TEST(CompatKeyPictures, NoIdrAfterIdrAndForHm91NoIdrAfterCra) {
  const key_sequence_t cases[] = {
      {"all intra, final", 120, {IDR, IDR, IDR, IDR}, {IDR, IDR, IDR, IDR}},
      {"all intra, 10.0", 100, {IDR, IDR, IDR, IDR}, {IDR, CRA, CRA, CRA}},
      {"all intra, 9.1", 91, {IDR, IDR, IDR}, {IDR, CRA, CRA}},
      {"closed GOPs, 10.0", 100, {IDR, P, P, IDR, B, IDR, IDR}, {IDR, P, P, IDR, B, IDR, CRA}},
      {"closed GOPs, 9.1", 91, {IDR, P, IDR, P, IDR}, {IDR, P, IDR, P, IDR}},
      {"IDR after CRA, 10.0", 100, {CRA, P, IDR, P, CRA, IDR}, {CRA, P, IDR, P, CRA, CRA}},
      {"open GOP starts with CRA at POC 0, 10.0", 100, {CRA, IDR, P, IDR}, {CRA, CRA, P, IDR}},
      {"IDR after CRA, 9.1", 91, {CRA, P, IDR, P, CRA, B, IDR}, {CRA, P, CRA, P, CRA, B, CRA}},
      {"run of IDRs, then 9.1 keeps CRA", 91, {IDR, IDR, P, IDR}, {IDR, CRA, P, CRA}},
      {"IDR after CRA, final", 120, {CRA, IDR, IDR}, {CRA, IDR, IDR}},
  };
  for (const key_sequence_t &c : cases) {
    key_picture_history_t h;
    key_picture_history_start(&h);
    std::vector<uint32_t> coded;
    for (const uint32_t w : c.wanted) {
      const bool key = w == IDR || w == CRA;
      const uint32_t t = key ? compat_key_picture_type(c.compat, w, &h) : w;
      coded.push_back(t);
      key_picture_history_note(&h, t);
    }
    EXPECT_EQ(coded, c.coded) << c.what;
  }
}

}  // namespace
