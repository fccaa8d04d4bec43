// What the CU evaluations of P and B pictures and their quad-tree
// recursion share: the decision thresholds by QP, the lookahead's block
// records read at a CU, and the merge candidates costed by prediction.
#pragma once

#include <cstdint>

#include "analysis/ctu_maps.h"
#include "analysis/cu_node.h"

struct encoder_t;
struct frame_t;
struct lowres_cu_search_t;

// Rough costs below which the recursion of analysis levels 0-1 skips the
// split of a CU, by [QP][depth 0-2].
extern const int32_t SPLIT_STOP_COST[52][3];
// Skip RD costs below which a skip CU is taken at once (levels 0-2), by
// [QP][depth].
extern const int32_t EARLY_SKIP_THRESHOLD[52][4];
// Prediction distortion of a 64x64 CU above which it is not worth coding
// with residual (levels 0-2): it keeps the skip and its split is searched.
extern const int32_t INTER_RESIDUAL_THRESHOLD[52];
// Below this prediction distortion a 64x64 CU of a B picture (levels 0-2)
// is coded without residual.
extern const int32_t B_NORESIDUAL_THRESHOLD[52];

// The lookahead's per-block costs of the picture being coded for the
// distances (d0, d1), or null when they were not estimated.  Bits 28-31 of
// a word are the kind (0 intra).
const uint32_t *lookahead_blocks(const encoder_t *ctx, int32_t d0, int32_t d1);
// Index of the lookahead block of the CU at CTU-relative (x, y), kept one
// block inside the picture's border blocks.
int32_t lookahead_block_index(const encoder_t *ctx, int32_t x, int32_t y);
// How much worse than intra the lookahead found inter prediction over a
// CU's area (log2 size 4 or 5) in P pictures: its per-block hints (0 inter
// clearly better .. 6 intra clearly better) averaged, times 128; 0 when it
// has none.  From 512 on the motion search is not worth running.
uint32_t cu_lowres_cost(const encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size);

// Merge candidates of a 2Nx2N prediction unit costed by their prediction:
// the cost function of the CU size against the source plus lambda_sad
// times the merge index's bins.
struct merge_eval_t {
  merge_candidates_t list;
  int32_t count;
  int32_t best, second;  // -1: none
  uint32_t best_cost, second_cost;
};
// P slices take the list-0 list, B slices the two-list one.  Candidates
// outside the vector limits, repeats of the best and those the CTU's
// sub-sample level excludes are passed over; ties keep the earlier one.
// `lowres`: the rules of the evaluation on half-resolution pictures (the
// two-list function in P slices too, no temporal-candidate rule, its cost
// function and no bilinear prediction).
void merge_evaluate(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, bool two_lists, bool lowres,
                    merge_eval_t *out);
// The rough cost function of a CU's 2Nx2N prediction at the CTU's analysis
// level.
uint32_t inter_rough_cost(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, bool lowres);
// Luma prediction of a 2Nx2N PU into the reconstruction buffer with the
// vectors clamped to the CTU's limits (which keeps the prediction): one
// list, or both averaged.
void inter_rough_predict(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, const int8_t ref[2],
                         const mv_t mv[2], bool lowres);

// Leaf evaluations of an unsplit CU (log2 size 3..6): P slices with list 0,
// B slices with both lists and bi-prediction.  The decision is left in the
// node and the CTU maps; node->recode tells whether the buffers hold it.
void analyse_p_cu(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void analyse_b_cu(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The same for CUs of 16x16 and larger with the motion searched on the
// half-resolution pictures (the internal setting lowres_cu_search), and
// without the early-skip rules and the lookahead's shortcuts.
void analyse_p_cu_lowres(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x,
                         int32_t y, int32_t log2_size);
void analyse_b_cu_lowres(encoder_t *ctx, cu_node_t *nodes, lowres_cu_search_t *lowres, int32_t z, int32_t x,
                         int32_t y, int32_t log2_size);

// The half-resolution motion search of a CU (log2 size 4..6): per list and
// reference on the record's pictures, the best of each list in full
// resolution (costs x4, vectors x2 kept inside the CU's vector window) in
// me_best (list 0) and me_other (list 1; in a P picture coded as a B slice
// the best other list-0 reference), with the AMVP lists of their
// references in amvp/amvp_count.
void lowres_motion_search(encoder_t *ctx, lowres_cu_search_t *lowres, cu_node_t *node, int32_t z, int32_t x,
                          int32_t y, int32_t log2_size, bool true_b, mv_t amvp[2][2], int32_t amvp_count[2]);
