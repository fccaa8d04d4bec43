// The test tier and the proof that the harness fails when it should.
//
// The kernel test binary is linked with every table setup wrapped
// (-Wl,--wrap, see tests/CMakeLists.txt): called with FLAG_TEST_TIER, a
// setup builds the portable table and, for the table that CHECKASM_BREAK
// names, puts into one slot a function that is wrong on one extreme input
// only, or one that writes a byte past its block.  The self-test runs the
// verification suites in a child process under that tier and expects them to
// report the slot.
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "checkasm.h"
#include "common/primitives.h"

using namespace checkasm;

namespace {

bool breaks(const char *table) {
  const char *b = broken_table();
  return b && std::strcmp(b, table) == 0;
}

// Each wrong function calls the slot's portable function and then spoils one
// result, only for an extreme input.
pixel_cost_fn portable_sa8d_8x8;
uint32_t wrong_sa8d_8x8(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride) {
  const uint32_t r = portable_sa8d_8x8(a, a_stride, b, b_stride);
  return r + (a[0] == 255 && b[0] == 0);
}

copy_aligned_fn portable_copy_to_aligned_32x32;
void overrunning_copy_to_aligned_32x32(uint8_t *dst, const uint8_t *src, int32_t dst_stride, int32_t src_stride) {
  portable_copy_to_aligned_32x32(dst, src, dst_stride, src_stride);
  dst[31 * dst_stride + 32] ^= 0x5a;  // one byte past the last row
}

decltype(mc_funcs_t::pixel_avg) portable_pixel_avg;
void wrong_pixel_avg(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                     int32_t b_stride, int32_t w, int32_t h) {
  portable_pixel_avg(dst, dst_stride, a, a_stride, b, b_stride, w, h);
  if (w > 0 && h > 0 && a[0] == 255 && b[0] == 255) dst[0] ^= 1;
}

decltype(sao_funcs_t::sao_diff) portable_sao_diff;
void wrong_sao_diff(int16_t *diff, const uint8_t *rec, int32_t rec_stride, const uint8_t *src, int32_t src_stride,
                    int32_t is_luma) {
  portable_sao_diff(diff, rec, rec_stride, src, src_stride, is_luma);
  if (src[0] == 255) diff[0] ^= 1;
}

decltype(deblock_funcs_t::deblock_luma_ver_edge) portable_luma_ver_edge;
void wrong_luma_ver_edge(uint8_t *pix, int32_t stride, int32_t beta, const int32_t tc[2]) {
  portable_luma_ver_edge(pix, stride, beta, tc);
  if (beta >= 60) pix[0] ^= 1;  // the largest thresholds only
}

dct_fwd_fn portable_dct_fwd_8x8;
void wrong_dct_fwd_8x8(int16_t *coef, const uint8_t *src, const uint8_t *pred) {
  portable_dct_fwd_8x8(coef, src, pred);
  if (src[0] == 255 && pred[0] == 0) coef[0] ^= 1;
}

dequant_fn portable_dequant;
void wrong_dequant(int16_t *coef, const int16_t *levels, int32_t count, int32_t scale, int32_t shift) {
  portable_dequant(coef, levels, count, scale, shift);
  if (count > 0 && levels[0] == INT16_MIN) coef[0] ^= 1;
}

// The thorough RDOQ slot, wrong in one level of blocks of the most negative
// coefficient only: its levels must be compared, not just its count.
rdoq_fn portable_rdoq_alt;
uint32_t wrong_rdoq_alt(const rdoq_request_t *req) {
  const uint32_t r = portable_rdoq_alt(req);
  if (req->coef[0] == INT16_MIN) req->levels[0] ^= 1;
  return r;
}

intra_pred_fn portable_dc_8x8;
void wrong_dc_8x8(uint8_t *dst, intptr_t dst_stride, const uint8_t *nb) {
  portable_dc_8x8(dst, dst_stride, nb);
  if (nb[1] == 255) dst[0] ^= 1;
}

}  // namespace

// The wrapped setups (names as the linker sees them).
#define CHECKASM_WRAP(mangled, Table, ...)                                                        \
  void real_##Table(uint32_t flags, Table *t __VA_OPT__(, ) __VA_ARGS__) asm("__real_" #mangled); \
  void wrap_##Table(uint32_t flags, Table *t __VA_OPT__(, ) __VA_ARGS__) asm("__wrap_" #mangled);

CHECKASM_WRAP(_Z22setup_pixel_primitivesjP13pixel_funcs_ti, pixel_funcs_t, int32_t level)
CHECKASM_WRAP(_Z19setup_mc_primitivesjP10mc_funcs_t, mc_funcs_t)
CHECKASM_WRAP(_Z20setup_sao_primitivesjP11sao_funcs_t, sao_funcs_t)
CHECKASM_WRAP(_Z24setup_deblock_primitivesjP15deblock_funcs_t, deblock_funcs_t)
CHECKASM_WRAP(_Z26setup_transform_primitivesjP17transform_funcs_t, transform_funcs_t)
CHECKASM_WRAP(_Z22setup_quant_primitivesjP13quant_funcs_t, quant_funcs_t)
CHECKASM_WRAP(_Z22setup_intra_primitivesjP13intra_funcs_t, intra_funcs_t)

namespace {

uint32_t tier_flags(uint32_t flags) { return flags & FLAG_TEST_TIER ? 0 : flags; }

// Under the test tier, for the table being broken: keeps the slot's portable
// function for the wrong one to call and installs the wrong one.
template <typename Fn>
void install_wrong(uint32_t flags, const char *table, Fn &slot, Fn &portable, Fn wrong, const char *what) {
  if (!(flags & FLAG_TEST_TIER) || !breaks(table)) return;
  portable = slot;
  slot = wrong;
  std::fprintf(stderr, "checkasm: test tier breaks %s slot %s\n", table, what);
}

}  // namespace

void wrap_pixel_funcs_t(uint32_t flags, pixel_funcs_t *t, int32_t level) {
  real_pixel_funcs_t(tier_flags(flags), t, level);
  install_wrong(flags, "pixel", t->sa8d[3], portable_sa8d_8x8, wrong_sa8d_8x8, "78 sa8d_8x8");
  install_wrong(flags, "pixel_overrun", t->copy_to_aligned_32x32, portable_copy_to_aligned_32x32,
                overrunning_copy_to_aligned_32x32, "115 copy_to_aligned_32x32 (writes past its block)");
}

void wrap_mc_funcs_t(uint32_t flags, mc_funcs_t *t) {
  real_mc_funcs_t(tier_flags(flags), t);
  install_wrong(flags, "mc", t->pixel_avg, portable_pixel_avg, wrong_pixel_avg, "9 pixel_avg");
}

void wrap_sao_funcs_t(uint32_t flags, sao_funcs_t *t) {
  real_sao_funcs_t(tier_flags(flags), t);
  install_wrong(flags, "sao", t->sao_diff, portable_sao_diff, wrong_sao_diff, "1 sao_diff");
}

void wrap_deblock_funcs_t(uint32_t flags, deblock_funcs_t *t) {
  real_deblock_funcs_t(tier_flags(flags), t);
  install_wrong(flags, "deblock", t->deblock_luma_ver_edge, portable_luma_ver_edge, wrong_luma_ver_edge,
                "0 deblock_luma_ver_edge");
}

void wrap_transform_funcs_t(uint32_t flags, transform_funcs_t *t) {
  real_transform_funcs_t(tier_flags(flags), t);
  install_wrong(flags, "transform", t->dct_fwd_8x8, portable_dct_fwd_8x8, wrong_dct_fwd_8x8, "2 dct_fwd_8x8");
}

void wrap_quant_funcs_t(uint32_t flags, quant_funcs_t *t) {
  real_quant_funcs_t(tier_flags(flags), t);
  install_wrong(flags, "quant", t->dequant, portable_dequant, wrong_dequant, "1 dequant");
  install_wrong(flags, "quant_rdoq", t->rdoq_alt, portable_rdoq_alt, wrong_rdoq_alt, "3 rdoq_alt");
}

void wrap_intra_funcs_t(uint32_t flags, intra_funcs_t *t) {
  real_intra_funcs_t(tier_flags(flags), t);
  install_wrong(flags, "intra", t->pred[intra_cell(1, 0, 3) - 4], portable_dc_8x8, wrong_dc_8x8, "intra_dc_8x8");
}

namespace {

struct break_case_t {
  const char *table;
  const char *suite;     // the table's verification suite (Checkasm<Table>), or tests of it
  const char *expected;  // what the suites must report
  bool names_kernel = true;
};

class HarnessSelfTest : public ::testing::TestWithParam<break_case_t> {};

// Runs the verification suites in a child under the test tier.
TEST_P(HarnessSelfTest, SuitesReportTheBrokenSlot) {
  if (broken_table()) GTEST_SKIP() << "already a child";
  const break_case_t c = GetParam();
  char self[4096];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(len, 0);
  self[len] = 0;
  const std::string cmd = "CHECKASM_BREAK=" + std::string(c.table) + " CHECKASM_SEED=" + std::to_string(test_seed()) +
                          " '" + self + "' --gtest_filter='" + c.suite + "*' --gtest_fail_fast 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = pclose(p);
  if (out.find("Running 0 tests") != std::string::npos)
    GTEST_SKIP() << "no suite " << c.suite << " checks the " << c.table << " table yet";
  ASSERT_NE(out.find("checkasm: test tier breaks"), std::string::npos)
      << c.suite << " does not take its flags from checkasm::flag_sets():\n" << out;
  EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the suites passed a broken " << c.table << " slot";
  EXPECT_NE(out.find(c.expected), std::string::npos) << "expected \"" << c.expected << "\" in:\n" << out;
  // A difference names the kernel that gave it (the test tier's are wrong_*).
  if (c.names_kernel) {
    EXPECT_NE(out.find("[kernel wrong_"), std::string::npos) << "no kernel named in:\n" << out;
  }
}

// The reports name the failing slot (where the suite's naming is known);
// canaries or the guard page catch the byte written past the block.
INSTANTIATE_TEST_SUITE_P(, HarnessSelfTest,
                         ::testing::Values(break_case_t{"pixel", "CheckasmPixel.", "pixel slot 78 sa8d[3]"},
                                           break_case_t{"mc", "CheckasmMc.", "pixel_avg"},
                                           break_case_t{"sao", "CheckasmSao.", "sao_diff"},
                                           break_case_t{"deblock", "CheckasmDeblock.", "deblock slot 0 deblock_luma_ver_edge"},
                                           break_case_t{"transform", "CheckasmTransform.", ""},
                                           break_case_t{"quant", "CheckasmQuant.", ""},
                                           break_case_t{"quant_rdoq", "CheckasmQuant.RdoqSlots", "rdoq_alt"},
                                           break_case_t{"intra", "CheckasmIntra.", ""},
                                           break_case_t{"pixel_overrun", "CheckasmPixel.AlignedCopy", "outside the block", false}),
                         [](const ::testing::TestParamInfo<break_case_t> &i) { return std::string(i.param.table); });

}  // namespace
