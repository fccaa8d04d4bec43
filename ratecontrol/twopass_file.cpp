// The statistics text of two-pass encoding: the header line and one line per
// picture written by the first pass, read back and checked by the second.
//
// Header: "width=%d height=%d idr-period=%d opengop=%d bframes=%d fps=%u/%u
// lookahead=%d scenecut=%d"; each picture, in coding order: "%d play:%d
// qp:%.2f %.2f bits: %d %d %d cu_count:%d %d type:%s" (coding index, display
// index, chosen and coded average QP, texture, motion and other bits, 8x8
// units coded intra and skipped, type word); under the zero-latency tune
// " speed:%d" (the picture's speed mode) comes before " type:".  Every line ends in a line
// feed; a last line without one is not read.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/memory.h"
#include "encoder/encoder.h"
#include "ratecontrol/ratecontrol.h"
#include "ratecontrol/twopass.h"

namespace {

constexpr size_t header_size = 256;
// A header line and one picture line fit with room to spare.
constexpr size_t stats_out_size = 768;
// The longest picture line the reader takes; written lines stay far below.
constexpr size_t line_limit = 256;

struct type_word_t {
  const char *word;
  int32_t slice_type, frame_type, kept_as_ref;
};
// "i" is an intra picture that is neither IDR nor CRA: without a word of its
// own it could not be read back.
constexpr type_word_t type_words[] = {
    {"idr", 2, TARNHEVCENC_TYPE_IDR, 1}, {"cra", 2, TARNHEVCENC_TYPE_CRA, 1}, {"i", 2, TARNHEVCENC_TYPE_I, 1},
    {"p", 1, TARNHEVCENC_TYPE_P, 1},     {"bref", 0, TARNHEVCENC_TYPE_BREF, 0}, {"b", 0, TARNHEVCENC_TYPE_B, 0},
};

const char *type_word_of(uint32_t frame_type) {
  for (const type_word_t &t : type_words)
    if (static_cast<uint32_t>(t.frame_type) == frame_type) return t.word;
  return "";
}

// A setting the header may carry: when present and readable it must equal
// the current one.
bool header_setting_matches(const char *header, const char *name, int32_t now) {
  const char *at = std::strstr(header, name);
  int32_t before;
  if (!at || std::sscanf(at + std::strlen(name), "%d", &before) != 1) return true;
  if (before == now) return true;
  std::fprintf(stderr, "%.*s does not match! Previous is %d, now is %d\n", static_cast<int>(std::strlen(name) - 1),
               name, before, now);
  return false;
}

bool read_header(const encoder_t *enc, const std::string &header) {
  const param_t &p = enc->param;
  const char *h = header.c_str();
  int32_t w, hh;
  uint32_t num, den;
  const char *fps = std::strstr(h, " fps=");
  if (std::sscanf(h, "width=%d height=%d", &w, &hh) != 2 || !fps || std::sscanf(fps, " fps=%u/%u", &num, &den) != 2)
    return false;
  if (w != enc->width || hh != enc->height) {
    std::fprintf(stderr, "resolution does not match! Previous is %dx%d, now is %dx%d\n", w, hh, enc->width,
                 enc->height);
    return false;
  }
  if (num != static_cast<uint32_t>(p.fps_num) || den != static_cast<uint32_t>(p.fps_den)) {
    std::fprintf(stderr, "fps does not match!\n");
    return false;
  }
  return header_setting_matches(h, "idr-period=", p.idr_period) && header_setting_matches(h, "opengop=", p.opengop) &&
         header_setting_matches(h, "bframes=", p.bframes) && header_setting_matches(h, "scenecut=", p.scenecut);
}

// One picture line into the entry it names.  line is NUL-terminated and
// shorter than line_limit.
bool read_line(ratecontrol_t *rc, const char *line, int32_t number, float duration, int32_t unit_count) {
  const int32_t count = rc->entry_count;
  int32_t c, d;
  if (std::sscanf(line, "%d play:%d", &c, &d) != 2) return false;
  if (c < 0 || c >= count || d < 0 || d >= count) {
    std::fprintf(stderr, "2pass log: line %d names picture %d shown at %d, outside the %d pictures of the file\n",
                 number + 2, c, d, count);
    return false;
  }
  if (rc->entry_order[d] >= 0) {
    std::fprintf(stderr, "2pass log: display index %d appears twice\n", d);
    return false;
  }
  ratecontrol_entry_t &e = rc->entries[c];
  if (e.frame_type != 0) {
    std::fprintf(stderr, "2pass log: coding index %d appears twice\n", c);
    return false;
  }
  rc->entry_order[d] = c;
  float qp, coded_qp;
  int32_t tex, mv, misc, intra, skip;
  char word[8] = "";
  const int n = std::sscanf(line, "%*d play:%*d qp:%f %f bits: %d %d %d cu_count:%d %d", &qp, &coded_qp, &tex, &mv,
                            &misc, &intra, &skip);
  if (n < 7) return false;
  const char *tail = std::strstr(line, "type:");
  if (tail) std::sscanf(tail, "type:%7s", word);
  const type_word_t *type = nullptr;
  for (const type_word_t &t : type_words)
    if (std::strcmp(word, t.word) == 0) type = &t;
  // The speed mode a zero-latency first pass coded the picture with, just
  // before the type word.
  const char *speed_at = std::strstr(line, " speed:");
  int32_t speed = -1;
  if (speed_at && (!tail || speed_at > tail || std::sscanf(speed_at, " speed:%d", &speed) != 1 || speed < 0 ||
                   speed > 3)) {
    std::fprintf(stderr, "2pass log: line %d holds a value out of range\n", number + 2);
    return false;
  }
  // The word must end the line: a longer one is not one of the words.
  if (!type || !tail || std::strlen(tail + 5) != std::strlen(word)) {
    std::fprintf(stderr, "2pass log: line %d has no known picture type\n", number + 2);
    return false;
  }
  if (!(qp >= 0.0f && qp <= 51.0f) || !(coded_qp >= 0.0f && coded_qp <= 51.0f) || tex < 0 || mv < 0 || misc < 0 ||
      intra < 0 || skip < 0 || intra > unit_count || skip > unit_count) {
    std::fprintf(stderr, "2pass log: line %d holds a value out of range\n", number + 2);
    return false;
  }
  e.slice_type = type->slice_type;
  e.frame_type = type->frame_type;
  e.kept_as_ref = type->kept_as_ref;
  e.qscale = e.new_qscale = rc_qp2qscale(qp);
  e.coded_qp = coded_qp;
  e.tex_bits = tex;
  e.mv_bits = mv;
  e.misc_bits = misc;
  e.intra_count = intra;
  e.skip_count = skip;
  e.speed_mode = speed;
  e.among_b = false;
  e.duration = duration;
  return true;
}

int32_t read_stats(encoder_t *enc) {
  ratecontrol_t *rc = enc->rc;
  const param_t &p = enc->param;
  const char *text = p.stats_in;
  const char *header_end = text ? std::strchr(text, '\n') : nullptr;
  if (!text || std::strncmp(text, "width=", 6) != 0 || !header_end) {
    std::fprintf(stderr, "2pass log: no statistics header (\"width=...\") found\n");
    return -1;
  }
  if (!read_header(enc, std::string(text, header_end))) return -1;
  const char *body = header_end + 1;
  int64_t lines = 0;
  for (const char *s = body; (s = std::strchr(s, '\n')); s++) lines++;
  if (lines == 0 || lines > INT32_MAX / 2) return -1;
  const int32_t count = static_cast<int32_t>(lines);
  rc->entry_count = count;
  errno = 0;
  rc->entries = static_cast<ratecontrol_entry_t *>(aligned_malloc(sizeof(ratecontrol_entry_t) * count));
  if (!rc->entries) {
    errno = ENOMEM;
    std::fprintf(stderr, "Entries for 2 pass cannot be allocated\n");
    return -1;
  }
  rc->entry_order = static_cast<int32_t *>(aligned_malloc(sizeof(int32_t) * count));
  if (!rc->entry_order) {
    errno = ENOMEM;
    std::fprintf(stderr, "Encode order for 2 pass cannot be allocated\n");
    return -1;
  }
  const int32_t half_blocks = ((p.width / 2 + 7) >> 3) * ((p.height / 2 + 7) >> 3);
  for (int32_t i = 0; i < count; i++) {
    ratecontrol_entry_t &e = rc->entries[i];
    std::memset(&e, 0, sizeof(e));
    e.slice_type = 1;
    e.misc_bits = half_blocks + 10;
    e.qscale = e.new_qscale = rc_qp2qscale(20);
    rc->entry_order[i] = -1;
  }
  const float duration = static_cast<float>(p.fps_den) / static_cast<float>(p.fps_num);
  const char *s = body;
  for (int32_t i = 0; i < count; i++) {
    const char *end = std::strchr(s, '\n');
    const size_t len = static_cast<size_t>(end - s);
    if (len >= line_limit) {
      std::fprintf(stderr, "2pass log: line %d is too long\n", i + 2);
      return -1;
    }
    char line[line_limit];
    std::memcpy(line, s, len);
    line[len] = 0;
    if (!read_line(rc, line, i, duration, rc->unit_count)) return -1;
    // Under the zero-latency tune the speed modes follow the machine's
    // load; a second pass codes each picture in the mode its first pass
    // did, so that the first pass's sizes hold for it.
    if (p.latency_mode == 0 && p.rcmode == TARNHEVCENC_RC_ABR && std::strstr(line, " speed:") == nullptr) {
      std::fprintf(stderr, "2pass log: line %d has no speed mode, which a zero-latency second pass follows; "
                   "run the first pass again\n", i + 2);
      return -1;
    }
    s = end + 1;
  }
  // Every index in range and none twice means none is missing either; kept
  // as a guard for the entries' readers.
  for (int32_t d = 0; d < count; d++)
    if (rc->entry_order[d] < 0) {
      std::fprintf(stderr, "2pass log: display index %d is missing\n", d);
      return -1;
    }
  return twopass_plan(enc);
}

}  // namespace

void twopass_header_settings(param_t *p) {
  if (!p->stats_read || !p->stats_in) return;
  const char *end = std::strchr(p->stats_in, '\n');
  if (!end) return;
  const std::string header(p->stats_in, end);
  const char *at = std::strstr(header.c_str(), "lookahead=");
  int32_t lookahead;
  if (at && std::sscanf(at + 10, "%d", &lookahead) == 1 && lookahead >= 0 && lookahead <= 250)
    p->lookahead = lookahead;
}

int32_t twopass_init(encoder_t *enc) {
  ratecontrol_t *rc = enc->rc;
  const param_t &p = enc->param;
  if (p.stats_read) {
    // The plan is one of bits over the whole sequence: a rate factor has
    // nothing to plan, whatever the text holds.
    if (p.rcmode == TARNHEVCENC_RC_CRF) {
      std::fprintf(stderr, "2pass: rate mode CRF cannot follow a second pass's plan of an average bitrate; use ABR\n");
      errno = EINVAL;
      return -1;
    }
    // Tells the creator that the text, not memory, failed (allocation
    // failures below set errno again).
    if (read_stats(enc) < 0) {
      if (errno != ENOMEM && errno != ERANGE) errno = EBADMSG;
      return -1;
    }
  }
  if (p.stats_write) {
    rc->stats_header = static_cast<char *>(aligned_malloc(header_size));
    rc->stats_out = static_cast<char *>(aligned_malloc(stats_out_size));
    if (!rc->stats_header || !rc->stats_out) return -1;
    rc->stats_out[0] = 0;
    std::snprintf(rc->stats_header, header_size,
                  "width=%d height=%d idr-period=%d opengop=%d bframes=%d fps=%u/%u lookahead=%d scenecut=%d\n",
                  enc->width, enc->height, p.idr_period, p.opengop, p.bframes, static_cast<uint32_t>(p.fps_num),
                  static_cast<uint32_t>(p.fps_den), p.lookahead, p.scenecut);
  }
  return 0;
}

void twopass_free(ratecontrol_t *rc) {
  aligned_free(rc->entries);
  aligned_free(rc->entry_order);
  aligned_free(rc->stats_header);
  aligned_free(rc->stats_out);
  rc->entries = nullptr;
  rc->entry_order = nullptr;
  rc->stats_header = rc->stats_out = nullptr;
}

void twopass_write_line(encoder_t *ctx, int64_t bits) {
  ratecontrol_t *inst = ctx->instance->rc;
  const ratecontrol_t *rc = ctx->rc;
  char *out = inst->stats_out;
  if (!out) return;
  size_t used = 0;
  if (inst->stats_header) {
    used = static_cast<size_t>(std::snprintf(out, stats_out_size, "%s", inst->stats_header));
    aligned_free(inst->stats_header);
    inst->stats_header = nullptr;
    // The frame contexts' copies of the record point at the same header.
    for (int32_t k = 1; k <= ctx->instance->frame_ctx_count; k++) ctx->instance->frame_ctx[k]->rc->stats_header = nullptr;
  }
  const rc_picture_counts_t &n = rc->pic_counts;
  const int64_t misc = std::max<int64_t>(0, bits - n.tex_bits - n.mv_bits);
  auto clip = [](int64_t v) { return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX)); };
  // A row's VBV re-decision may carry its QP past 51 where the bits do not
  // answer to it (random decisions); the CTUs were coded at 51 at most, and
  // the reader takes 0..51 only.
  auto qp_of = [](double qp) { return std::clamp(qp, 0.0, 51.0); };
  used += static_cast<size_t>(std::snprintf(
      out + used, stats_out_size - used, "%d play:%d qp:%.2f %.2f bits: %d %d %d cu_count:%d %d", rc->coding_index,
      ctx->cur_input->frame_number, qp_of(ctx->cur_recon->avg_qp), qp_of(ctx->cur_recon->avg_coded_qp),
      clip(n.tex_bits), clip(n.mv_bits), clip(misc), n.intra_units, n.skip_units));
  // Zero latency: the speed mode the machine's load chose, which the second
  // pass follows.
  if (ctx->param.latency_mode == 0)
    used += static_cast<size_t>(std::snprintf(out + used, stats_out_size - used, " speed:%d", ctx->picture_speed_mode));
  std::snprintf(out + used, stats_out_size - used, " type:%s\n", type_word_of(ctx->cur_input->frame_type_code));
}
