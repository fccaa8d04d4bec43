// Whole streams under each HM compatibility, read back by a parser written
// here from the layouts the HM 9.1 and 10.0 decoders read (and H.265 7.3 for
// the final standard): every parameter set must end exactly in its trailing
// bits, every slice header in its byte alignment, wavefront entry points
// must cut the slice data where the substreams end, and the key-picture and
// unit-type rules of the old decoders must hold.  Only tarnhevcenc.h is used.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tarnhevcenc.h"

namespace {

using bytes_t = std::vector<uint8_t>;

// ------------------------------------------------------------------ units

struct unit_t {
  int type;
  bytes_t rbsp;
  std::vector<uint32_t> escaped_at;  // escaped payload offset of each RBSP byte
};

// Annex B bytes into units with their payloads unescaped (H.265 7.4.2).
std::vector<unit_t> split_units(const bytes_t &s) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= s.size(); i++)
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i + 3);
  std::vector<unit_t> units;
  for (size_t k = 0; k < starts.size(); k++) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
    while (end > starts[k] && s[end - 1] == 0) end--;  // the next start code's leading zero
    unit_t u;
    u.type = (s[starts[k]] >> 1) & 63;
    int zeros = 0;
    for (size_t i = starts[k] + 2; i < end; i++) {
      if (zeros >= 2 && s[i] == 3) {
        zeros = 0;
        continue;
      }
      u.escaped_at.push_back(static_cast<uint32_t>(i - starts[k] - 2));
      u.rbsp.push_back(s[i]);
      zeros = s[i] == 0 ? zeros + 1 : 0;
    }
    units.push_back(std::move(u));
  }
  return units;
}

// ------------------------------------------------------------ bit reader

struct reader_t {
  const bytes_t &d;
  size_t pos = 0;  // in bits
  bool bad = false;
  explicit reader_t(const bytes_t &data) : d(data) {}
  uint64_t u(int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++) {
      if (pos >= d.size() * 8) {
        bad = true;
        return 0;
      }
      v = (v << 1) | ((d[pos / 8] >> (7 - pos % 8)) & 1);
      pos++;
    }
    return v;
  }
  bool flag() { return u(1) != 0; }
  uint32_t ue() {
    int zeros = 0;
    while (!bad && u(1) == 0) {
      if (++zeros > 31) bad = true;
    }
    return bad ? 0 : static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + u(zeros));
  }
  int32_t se() {
    const uint32_t k = ue();
    return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }
  // rbsp_trailing_bits ending exactly at the end of the payload.
  bool trailing_at_end() {
    if (u(1) != 1) return false;
    while (pos % 8)
      if (u(1) != 0) return false;
    return !bad && pos == d.size() * 8;
  }
  // byte_alignment(): a 1 bit, then 0 bits to the byte boundary.
  bool byte_alignment() {
    if (u(1) != 1) return false;
    while (pos % 8)
      if (u(1) != 0) return false;
    return !bad;
  }
};

// Field values the slice headers need, and what the tests compare.
struct sps_fields_t {
  uint32_t width = 0, height = 0;
  int log2_poc_lsb = 0;
  bool sao = false, tmvp = false;
  int ctb_log2 = 0;
  bool field_seq = true;
  uint32_t time_scale = 0, units_in_tick = 0;
};

struct pps_fields_t {
  bool output_flag_present = false, cabac_init_present = false, wpp = false, lf_across = false,
       deblock_disabled = false;
  int extra_bits = 0;
};

// profile_tier_level: the final form, or the 9.1 form (16 reserved bits,
// sub-layer flags interleaved without padding).
int read_ptl(reader_t &r, int compat, int max_sub_layers_minus1, std::string *err) {
  r.u(2);
  r.u(1);
  if (r.u(5) != 1) *err += "profile not Main; ";
  r.u(32);
  if (compat == 91) {
    if (r.u(16) != 0) *err += "reserved bits of the 9.1 profile not 0; ";
  } else {
    r.u(4);
    if (r.u(44) != 0) *err += "44 reserved bits not 0; ";
  }
  const int level = static_cast<int>(r.u(8));
  std::vector<int> prof(8), lev(8);
  if (compat == 91) {
    for (int i = 0; i < max_sub_layers_minus1; i++) {
      prof[i] = r.flag();
      lev[i] = r.flag();
      if (prof[i]) r.u(56);
      if (lev[i]) r.u(8);
    }
    return level;
  }
  for (int i = 0; i < max_sub_layers_minus1; i++) {
    prof[i] = r.flag();
    lev[i] = r.flag();
  }
  if (max_sub_layers_minus1 > 0)
    for (int i = max_sub_layers_minus1; i < 8; i++) r.u(2);
  for (int i = 0; i < max_sub_layers_minus1; i++) {
    if (prof[i]) r.u(88);
    if (lev[i]) r.u(8);
  }
  return level;
}

std::string parse_vps(const bytes_t &d, int compat) {
  reader_t r(d);
  std::string err;
  r.u(4);
  int msl;
  if (compat == 91) {
    if (!r.flag()) err += "temporal nesting 0; ";
    if (r.u(2) != 3) err += "reserved three bits not 3; ";
    if (r.u(6) != 0) err += "reserved zero bits not 0; ";
    msl = static_cast<int>(r.u(3));
  } else {
    if (r.u(2) != 3) err += "base layer flags not 3; ";
    if (r.u(6) != 0) err += "max layers not 1; ";
    msl = static_cast<int>(r.u(3));
    if (!r.flag() && msl == 0) err += "temporal nesting 0 with one sub-layer; ";
  }
  if (r.u(16) != 0xffff) err += "0xffff field; ";
  read_ptl(r, compat, msl, &err);
  if (compat == 91)
    for (int i = 0; i <= msl; i++) {
      const bool br = r.flag(), pr = r.flag();
      if (br) r.u(32);
      if (pr) r.u(18);
    }
  const bool all = r.flag();
  for (int i = all ? 0 : msl; i <= msl; i++) {
    r.ue();
    r.ue();
    r.ue();
  }
  if (compat == 91) {
    if (r.ue() != 0) err += "9.1 VPS with HRD parameters; ";
    if (r.u(6) != 0) err += "nuh reserved zero layer id not 0; ";
  } else {
    const uint64_t max_layer_id = r.u(6);
    const uint32_t sets = r.ue();
    for (uint32_t i = 1; i <= sets; i++) r.u(static_cast<int>(max_layer_id) + 1);
    if (r.flag()) {
      r.u(32);
      r.u(32);
      if (r.flag()) r.ue();
      // 10.0 misreads VPS HRD parameters; none is written for any compat.
      if (r.ue() != 0) err += "VPS HRD parameters; ";
    }
  }
  if (r.flag()) err += "extension; ";
  if (!r.trailing_at_end()) err += "does not end in its trailing bits; ";
  return err;
}

std::string parse_sps(const bytes_t &d, int compat, sps_fields_t *f) {
  reader_t r(d);
  std::string err;
  r.u(4);
  const int msl = static_cast<int>(r.u(3));
  r.u(1);
  read_ptl(r, compat, msl, &err);
  r.ue();
  if (r.ue() != 1) err += "not 4:2:0; ";
  f->width = r.ue();
  f->height = r.ue();
  if (r.flag())
    for (int i = 0; i < 4; i++) r.ue();
  if (r.ue() != 0 || r.ue() != 0) err += "not 8 bits; ";
  f->log2_poc_lsb = static_cast<int>(r.ue()) + 4;
  const bool all = r.flag();
  for (int i = all ? 0 : msl; i <= msl; i++) {
    r.ue();
    r.ue();
    r.ue();
  }
  const int min_cb = static_cast<int>(r.ue()) + 3;
  f->ctb_log2 = min_cb + static_cast<int>(r.ue());
  for (int i = 0; i < 4; i++) r.ue();
  if (r.flag()) err += "scaling lists; ";
  r.flag();  // AMP
  f->sao = r.flag();
  if (r.flag()) err += "PCM; ";
  if (r.ue() != 0) err += "reference sets in the SPS; ";
  if (r.flag()) err += "long-term pictures; ";
  f->tmvp = r.flag();
  r.flag();  // strong intra smoothing
  if (r.flag()) {
    if (r.flag() && r.u(8) == 255) r.u(32);  // aspect ratio
    if (r.flag()) r.flag();                   // overscan
    if (r.flag()) {
      r.u(4);
      if (r.flag()) r.u(24);
    }
    if (r.flag()) {
      r.ue();
      r.ue();
    }
    r.flag();  // neutral chroma
    f->field_seq = r.flag();
    if (compat == 91) {
      if (r.flag()) err += "9.1 display window placeholder set; ";
      r.flag();  // pic_struct_present_flag
      bool timing = false;
      if (r.flag()) {  // HRD block
        timing = r.flag();
        if (timing) {
          f->units_in_tick = static_cast<uint32_t>(r.u(32));
          f->time_scale = static_cast<uint32_t>(r.u(32));
        }
        if (r.flag() || r.flag()) err += "NAL or VCL HRD; ";
        for (int i = 0; i <= msl; i++) {
          if (r.flag()) r.ue();
          r.flag();
          r.ue();
        }
      }
      if (r.flag() && timing) r.ue();  // poc_proportional_to_timing_flag
      if (r.flag()) {
        r.u(3);
        r.u(8);  // min_spatial_segmentation_idc is u(8) in 9.1
        for (int i = 0; i < 4; i++) r.ue();
      }
    } else {
      r.flag();  // frame_field_info_present_flag
      if (r.flag())
        for (int i = 0; i < 4; i++) r.ue();
      if (r.flag()) {
        f->units_in_tick = static_cast<uint32_t>(r.u(32));
        f->time_scale = static_cast<uint32_t>(r.u(32));
        if (r.flag()) r.ue();
        if (r.flag()) err += "VUI HRD; ";
      }
      if (r.flag()) {
        r.u(3);
        for (int i = 0; i < 5; i++) r.ue();
      }
    }
  }
  if (r.flag()) err += "extension; ";
  if (!r.trailing_at_end()) err += "does not end in its trailing bits; ";
  return err;
}

std::string parse_pps(const bytes_t &d, int compat, pps_fields_t *f) {
  reader_t r(d);
  std::string err;
  r.ue();
  r.ue();
  if (r.flag()) err += "dependent slices; ";
  if (compat != 91) {
    f->output_flag_present = r.flag();
    f->extra_bits = static_cast<int>(r.u(3));
  }
  r.flag();  // sign hiding
  f->cabac_init_present = r.flag();
  r.ue();
  r.ue();
  r.se();
  r.flag();
  r.flag();
  if (r.flag()) r.ue();  // cu_qp_delta
  r.se();
  r.se();
  if (r.flag()) err += "slice chroma QP offsets; ";
  if (r.flag() || r.flag()) err += "weighted prediction; ";
  if (compat == 91) f->output_flag_present = r.flag();
  r.flag();  // transquant bypass
  if (r.flag()) err += "tiles; ";
  f->wpp = r.flag();
  f->lf_across = r.flag();
  if (r.flag()) {
    if (r.flag()) err += "deblocking override; ";
    f->deblock_disabled = r.flag();
    if (!f->deblock_disabled) {
      r.se();
      r.se();
    }
  }
  if (r.flag()) err += "PPS scaling lists; ";
  if (r.flag()) err += "list modification; ";
  r.ue();
  if (compat == 91) f->extra_bits = static_cast<int>(r.u(3));
  if (r.flag()) err += "slice header extension; ";
  if (r.flag()) err += "extension; ";
  if (!r.trailing_at_end()) err += "does not end in its trailing bits; ";
  return err;
}

struct slice_t {
  int type = 0;  // unit type
  int slice_type = 0;
  uint32_t poc_lsb = 0;
  std::vector<uint32_t> entry_values;
  size_t header_bytes = 0;
};

std::string parse_slice_header(const unit_t &u, int compat, const sps_fields_t &sps, const pps_fields_t &pps,
                               slice_t *s) {
  reader_t r(u.rbsp);
  std::string err;
  s->type = u.type;
  const bool irap = u.type >= 16 && u.type <= 23;
  const bool idr = u.type == 19 || u.type == 20;
  if (!r.flag()) err += "not the first slice; ";
  if (irap) r.flag();
  r.ue();
  r.u(pps.extra_bits);
  s->slice_type = static_cast<int>(r.ue());
  if (pps.output_flag_present) r.flag();
  bool tmvp = false;
  if (!idr) {
    s->poc_lsb = static_cast<uint32_t>(r.u(sps.log2_poc_lsb));
    if (r.flag()) err += "reference set from the SPS; ";
    const uint32_t nn = r.ue(), np = r.ue();
    if (nn + np > 16) err += "reference set too large; ";
    for (uint32_t i = 0; i < nn + np && i < 16; i++) {
      r.ue();
      r.flag();
    }
    if (sps.tmvp && compat != 91) tmvp = r.flag();
  }
  if (sps.sao) {
    r.flag();
    r.flag();
  }
  if (!idr && sps.tmvp && compat == 91) tmvp = r.flag();
  if (s->slice_type != 2) {
    uint32_t l0 = 1, l1 = 1;
    if (r.flag()) {
      l0 = r.ue() + 1;
      if (s->slice_type == 0) l1 = r.ue() + 1;
    }
    if (s->slice_type == 0) r.flag();  // mvd_l1_zero_flag
    if (pps.cabac_init_present) r.flag();
    if (tmvp) {
      bool from_l0 = true;
      if (s->slice_type == 0) from_l0 = r.flag();
      if ((from_l0 && l0 > 1) || (!from_l0 && l1 > 1)) r.ue();
    }
    if (r.ue() > 4) err += "merge candidates; ";
  } else if (tmvp) {
    err += "temporal MVP in an I slice; ";
  }
  r.se();
  if (pps.lf_across) r.flag();
  if (pps.wpp) {
    const uint32_t n = r.ue();
    if (n > 0) {
      const int len = static_cast<int>(r.ue()) + 1;
      for (uint32_t i = 0; i < n && !r.bad; i++) s->entry_values.push_back(static_cast<uint32_t>(r.u(len)));
    }
  }
  if (!r.byte_alignment()) err += "no byte alignment at the end of the header; ";
  s->header_bytes = r.pos / 8;
  return err;
}

// RBSP offsets (within the slice data) where substreams 1.. start, from the
// entry points: the final standard counts escaped bytes and writes minus 1,
// 10.0 counts RBSP bytes and writes minus 1, 9.1 counts RBSP bytes.
std::vector<size_t> substream_starts(const unit_t &u, const slice_t &s, int compat, std::string *err) {
  std::vector<size_t> starts;
  if (compat == 120) {
    size_t esc = u.escaped_at[s.header_bytes];
    size_t k = s.header_bytes;
    for (const uint32_t v : s.entry_values) {
      esc += v + 1;
      while (k < u.rbsp.size() && u.escaped_at[k] < esc) k++;
      if (k >= u.rbsp.size() || u.escaped_at[k] != esc) {
        *err += "an entry point falls on a prevention byte or past the end; ";
        return starts;
      }
      starts.push_back(k - s.header_bytes);
    }
    return starts;
  }
  size_t at = 0;
  for (const uint32_t v : s.entry_values) {
    at += compat == 91 ? v : v + 1;
    starts.push_back(at);
  }
  if (!starts.empty() && starts.back() >= u.rbsp.size() - s.header_bytes) *err += "entry points past the end; ";
  return starts;
}

// ---------------------------------------------------------------- encodes

enum content_t { SMOOTH_NOISE, FLAT_AND_NOISE };

void make_picture(int32_t w, int32_t h, uint32_t index, content_t content, bytes_t planes[3]) {
  uint32_t rng = 0x2545u + index * 7919u;
  for (int c = 0; c < 3; c++) {
    const int32_t pw = c ? w / 2 : w, ph = c ? h / 2 : h;
    planes[c].assign(static_cast<size_t>(pw) * ph, 128);
    for (int32_t y = 0; y < ph; y++)
      for (int32_t x = 0; x < pw; x++) {
        rng = rng * 1664525u + 1013904223u;
        int32_t v;
        if (content == SMOOTH_NOISE) {
          v = ((x * 3 + y * 2 + static_cast<int32_t>(index) * 5 + c * 40) & 255) +
              (((x / 8 + y / 8) & 1) ? static_cast<int32_t>(rng >> 28) - 8 : 0);
        } else {
          // Noise in the left quarter of each CTU row, flat elsewhere: the
          // long runs of likely bins over the flat part leave zero bytes in
          // the arithmetic coder's output.  The flat level moves from
          // picture to picture, so that predicted pictures code it too.
          const int32_t cx = c ? x * 2 : x;
          v = cx < w / 4 ? static_cast<int32_t>(rng >> 24) : 60 + 50 * static_cast<int32_t>(index % 4);
        }
        planes[c][static_cast<size_t>(y) * pw + x] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
  }
}

struct coding_mode_t {
  const char *name;
  int32_t idr_period, bframes, hierarchy, opengop;
};

const coding_mode_t kModes[] = {
    {"all intra", 1, 0, 0, 0},
    {"P only", 0, 0, 0, 0},
    {"B pyramid", 0, 4, 2, 0},
    {"open GOP B", 4, 3, 1, 1},
};

bytes_t encode(int32_t compat, const coding_mode_t &m, int32_t wpp, int32_t sao, int32_t w, int32_t h, int32_t pictures,
               int32_t qp, content_t content) {
  tarnhevcenc_param_t p;
  std::memset(&p, 0, sizeof(p));
  p.size = sizeof(p);
  if (tarnhevcenc_default_param(&p) != 0) return {};
  p.rcmode = TARNHEVCENC_RC_CQP;
  p.width = w;
  p.height = h;
  p.qp = qp;
  p.log_level = 0;
  p.threads = 1;
  p.complexity = 1;
  p.compat = compat;
  p.wpp = wpp;
  p.sao = sao;
  p.idr_period = m.idr_period;
  p.bframes = m.bframes;
  p.hierarchy = m.hierarchy;
  p.opengop = m.opengop;
  tarnhevcenc_t *enc = tarnhevcenc_create(&p);
  if (!enc) return {};
  bytes_t out;
  bytes_t planes[3];
  for (int32_t i = 0; i < pictures + 100; i++) {
    const bool flushing = i >= pictures;
    if (flushing && !tarnhevcenc_is_encoding(enc)) break;
    const uint8_t *ptr[3] = {};
    int32_t stride[3] = {w, w / 2, w / 2};
    if (!flushing) {
      make_picture(w, h, static_cast<uint32_t>(i), content, planes);
      for (int c = 0; c < 3; c++) ptr[c] = planes[c].data();
    }
    const uint8_t *data = nullptr;
    const int n = tarnhevcenc_encode_frame(enc, flushing ? nullptr : ptr, flushing ? nullptr : stride, i, nullptr,
                                           &data);
    if (n < 0) {
      out.clear();
      break;
    }
    if (n > 0) out.insert(out.end(), data, data + n);
  }
  tarnhevcenc_destroy(enc);
  return out;
}

struct stream_t {
  std::string err;
  sps_fields_t sps;
  pps_fields_t pps;
  std::vector<slice_t> slices;  // coding order
  std::vector<const unit_t *> slice_units;
  std::vector<unit_t> units;
};

// Reads every unit of a stream with the layouts of `compat`.
void read_stream(const bytes_t &bytes, int compat, stream_t *st) {
  st->units = split_units(bytes);
  bool have_sps = false, have_pps = false;
  for (const unit_t &u : st->units) {
    std::string e;
    if (u.type == 32) e = parse_vps(u.rbsp, compat);
    if (u.type == 33) {
      e = parse_sps(u.rbsp, compat, &st->sps);
      have_sps = true;
    }
    if (u.type == 34) {
      e = parse_pps(u.rbsp, compat, &st->pps);
      have_pps = true;
    }
    if (u.type < 32) {
      if (!have_sps || !have_pps) {
        st->err += "slice before its parameter sets; ";
        return;
      }
      slice_t s;
      e = parse_slice_header(u, compat, st->sps, st->pps, &s);
      st->slices.push_back(s);
      st->slice_units.push_back(&u);
    }
    if (!e.empty()) st->err += "unit " + std::to_string(u.type) + ": " + e;
  }
}

class CompatStreams : public ::testing::TestWithParam<int32_t> {};

// Every mode of the encoder (all intra, P only, B pyramid, open GOP;
// wavefront on and off; SAO on and off) read back with the layouts of the
// compat it was written for.
TEST_P(CompatStreams, EveryModeReadsBackWithItsLayouts) {
  const int32_t compat = GetParam();
  const int32_t w = 200, h = 136, pictures = 9;  // 4 x 3 CTUs, a conformance window
  for (const coding_mode_t &m : kModes)
    for (const int32_t wpp : {0, 1})
      for (const int32_t sao : {0, 1}) {
        const std::string what = std::string(m.name) + ", wpp " + std::to_string(wpp) + ", sao " +
                                 std::to_string(sao) + ", compat " + std::to_string(compat);
        const bytes_t bytes = encode(compat, m, wpp, sao, w, h, pictures, 32, SMOOTH_NOISE);
        ASSERT_FALSE(bytes.empty()) << what;
        stream_t st;
        read_stream(bytes, compat, &st);
        EXPECT_EQ(st.err, "") << what;
        EXPECT_EQ(st.sps.width, 200u) << what;
        EXPECT_EQ(st.sps.height, 136u) << what;
        EXPECT_EQ(st.sps.sao, sao != 0) << what;
        EXPECT_EQ(st.pps.wpp, wpp != 0) << what;
        EXPECT_FALSE(st.sps.field_seq) << what;
        EXPECT_GT(st.sps.units_in_tick, 0u) << what;
        EXPECT_GT(st.sps.time_scale, 0u) << what;
        ASSERT_EQ(st.slices.size(), static_cast<size_t>(pictures)) << what;
        uint32_t last_type = 99;
        bool cra_seen = false;
        for (size_t i = 0; i < st.slices.size(); i++) {
          const slice_t &s = st.slices[i];
          const std::string at = what + ", picture " + std::to_string(i) + " (unit type " + std::to_string(s.type) + ")";
          const bool idr = s.type == 19 || s.type == 20;
          const bool key = idr || s.type == 21;
          if (compat < 120) {
            // The old decoders merge pictures whose POC does not change.
            EXPECT_FALSE(idr && (last_type == 19 || last_type == 20 || last_type == 21)) << at;
            if (compat == 91) {
              EXPECT_NE(s.type, 6) << at;
              EXPECT_NE(s.type, 8) << at;
              EXPECT_FALSE(idr && cra_seen) << at;
            }
          }
          if (m.idr_period == 1) {
            EXPECT_TRUE(key) << at;
            // All intra: POC counts on over the key pictures.
            if (compat < 120 && i > 0) {
              EXPECT_EQ(s.type, 21) << at;
              EXPECT_EQ(s.poc_lsb, static_cast<uint32_t>(i)) << at;
            }
          }
          cra_seen |= s.type == 21;
          last_type = static_cast<uint32_t>(s.type);
          const size_t rows = static_cast<size_t>((h + 63) / 64);
          ASSERT_EQ(s.entry_values.size(), wpp ? rows - 1 : 0) << at;
          std::string e;
          const std::vector<size_t> starts = substream_starts(*st.slice_units[i], s, compat, &e);
          EXPECT_EQ(e, "") << at;
          // Every substream ends in a byte holding its stop bit.
          const bytes_t &d = st.slice_units[i]->rbsp;
          for (const size_t k : starts) {
            if (k == 0 || s.header_bytes + k > d.size()) continue;
            EXPECT_NE(d[s.header_bytes + k - 1], 0) << at << " substream end " << k;
          }
        }
      }
}

INSTANTIATE_TEST_SUITE_P(Compat, CompatStreams, ::testing::Values(91, 100, 120));

// Substreams 1.. of a slice that hold emulation-prevention bytes.
int32_t substreams_with_epb(const unit_t &u, const slice_t &s, const std::vector<size_t> &starts) {
  int32_t n = 0;
  size_t begin = 0;
  for (const size_t end : starts) {
    const size_t a = u.escaped_at[s.header_bytes + begin], b = u.escaped_at[s.header_bytes + end];
    if (b - a != end - begin) n++;
    begin = end;
  }
  return n;
}

bytes_t slice_data(const unit_t &u, const slice_t &s) {
  return bytes_t(u.rbsp.begin() + static_cast<ptrdiff_t>(s.header_bytes), u.rbsp.end());
}

// Entry points of substreams that hold emulation-prevention bytes: the
// final standard counts them, the old decoders count RBSP bytes (9.1
// without "minus 1").  The same encode under 100 and 120 has the same slice
// data, so both sets of entry points must cut it at the same places.  9.1
// starts some contexts of I and B slices differently, but its P slices hold
// the same data as under 100 when the I picture before them came out the
// same; those must be cut at the same places too.
TEST(CompatEntryPoints, PreventionBytesInsideSubstreams) {
  const coding_mode_t p_only = {"P only", 0, 0, 0, 0};
  const int32_t compats[] = {120, 100, 91};
  stream_t st[3];
  for (int k = 0; k < 3; k++) {
    const bytes_t bytes = encode(compats[k], p_only, 1, 0, 640, 256, 3, 30, FLAT_AND_NOISE);
    ASSERT_FALSE(bytes.empty()) << compats[k];
    read_stream(bytes, compats[k], &st[k]);
    ASSERT_EQ(st[k].err, "") << compats[k];
    ASSERT_EQ(st[k].slices.size(), 3u) << compats[k];
  }
  int32_t with_epb[3] = {};
  int32_t same_as_hm10_in_hm91 = 0;
  for (size_t i = 0; i < 3; i++) {
    std::vector<size_t> starts[3];
    for (int k = 0; k < 3; k++) {
      std::string e;
      starts[k] = substream_starts(*st[k].slice_units[i], st[k].slices[i], compats[k], &e);
      EXPECT_EQ(e, "") << "picture " << i << " compat " << compats[k];
    }
    const bytes_t data[3] = {slice_data(*st[0].slice_units[i], st[0].slices[i]),
                             slice_data(*st[1].slice_units[i], st[1].slices[i]),
                             slice_data(*st[2].slice_units[i], st[2].slices[i])};
    ASSERT_EQ(data[0], data[1]) << "picture " << i << ": the slice data should not depend on 100 or 120";
    EXPECT_EQ(starts[0], starts[1]) << "picture " << i;
    with_epb[0] += substreams_with_epb(*st[0].slice_units[i], st[0].slices[i], starts[0]);
    if (st[2].slices[i].slice_type == 1 && data[2] == data[1]) {
      EXPECT_EQ(starts[2], starts[1]) << "picture " << i;
      same_as_hm10_in_hm91++;
      with_epb[2] += substreams_with_epb(*st[2].slice_units[i], st[2].slices[i], starts[2]);
    }
  }
  // Without these the test shows nothing.
  EXPECT_GT(with_epb[0], 0) << "the content no longer makes prevention bytes inside substreams";
  EXPECT_GT(same_as_hm10_in_hm91, 0) << "no 9.1 P picture codes the same data as under 100";
  EXPECT_GT(with_epb[2], 0) << "the 9.1 P pictures compared hold no prevention bytes inside substreams";
}

}  // namespace
