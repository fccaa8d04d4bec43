// Intra prediction decision of one CU of the coding-tree search: the luma
// direction (0 planar, 1 DC, 2-34 angular) and intra_chroma_pred_mode
// (0-3, 4 = derived from luma).  Each evaluator leaves its decision in the
// node, the direction and chroma maps, the reconstruction buffer and the
// node's intra_cost; the quad-tree recursion compares and commits.
#pragma once

#include <cstdint>

#include "analysis/cu_node.h"
#include "common/primitives.h"

struct encoder_t;

// The unsplit 2Nx2N intra CU (log2 size 3..6), or one 4x4 prediction unit of
// an NxN 8x8 CU (log2 size 2, called for the four PUs in z-order; only the
// fourth decides the CU's chroma mode).  A rough pass over the 35 luma modes
// keeps a short list that the residual coder decides, then chroma likewise.
// For a 4x4 PU intra_cost is its luma cost alone.
void analyse_intra_cu(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The 2Nx2N intra CU (log2 size 3..6) of the full inter analysis: a
// coarse-to-fine angular search, then whole-CU RD costs of the best rough
// mode and at most two more.  Chroma is always derived from luma.
void intra_mode_decision(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The intra alternative of a 2Nx2N CU (log2 size 3..6) of a P or B picture,
// after its inter evaluation left the best inter rough cost in
// inter_sad_cost: a SATD coarse-to-fine search that gives up as soon as it
// falls well behind that cost, and a whole-CU RD cost only when it comes
// close and the picture, speed mode and level allow one (intra_rd_done
// tells; without it intra_cost is left as it was).  Chroma is derived.
void analyse_intra_cu_pb(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// analyse_intra_cu for CUs of log2 size 3..6 with a staged search; CUs of
// 16x16 and larger search on the picture's half-resolution luma plane and
// cost only the two or three best modes at full resolution.
void analyse_intra_cu_fast(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size);

// ------------------------------------------------------------------------
// Pieces the two analyse_intra_cu variants share (analysis/ only).

// Modes sorted by rough cost; a newcomer goes before the first strictly
// dearer entry and pushes the last one out, so ties keep the earlier mode.
struct intra_list_t {
  int32_t mode[8];  // -1: empty
  uint32_t cost[8];
  int32_t size;
};
void intra_list_init(intra_list_t *l, int32_t size);
void intra_list_insert(intra_list_t *l, int32_t mode, uint32_t cost);
bool intra_list_contains(const intra_list_t *l, int32_t mode);
// Entries in use (the list fills from the front).
int32_t intra_list_count(const intra_list_t *l);

struct intra_cu_t {
  encoder_t *ctx;
  cu_node_t *nodes;
  cu_node_t *node;
  int32_t z, x, y, log2_size, depth;
  int32_t mpm[3];
  uint8_t enabled[35];
  // For a disabled mode, the mode whose rough cost it carries (-1: none).
  int8_t cost_from[35];
  pixel_cost_fn luma_cost;    // source vs. prediction, the CU size
  pixel_cost_fn chroma_cost;  // the same for one chroma block
  // The luma mode whose trial is kept (cu_luma_keep), the chroma mode whose
  // trial is kept (cu_chroma_keep) and the one whose blocks are in place;
  // -1: none.
  int32_t luma_kept, chroma_kept, chroma_in_place;
};

// Geometry, kernels, the depth map and the node's intra initialisation.
void intra_cu_begin(intra_cu_t *cu, encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y,
                    int32_t log2_size);
// Modes worth predicting: picture edges, the CTU gradients at low analysis
// levels; the MPMs and a valid parent direction always stay.  Returns true
// for a flat block (the gradients leave only planar and DC).
bool intra_enable_modes(intra_cu_t *cu, int32_t parent_dir);
// Prediction of the committed mode at the block's first 4x4 unit (flags 1
// luma, 2 chroma) into the reconstruction buffer.
void intra_predict(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, uint32_t flags);
// Rough cost of a luma mode at full resolution: prediction, kernel and
// mode-bit penalty; later predictions of the block reuse its neighbours.
uint32_t intra_rough_luma(intra_cu_t *cu, int32_t mode);
// intra_rough_luma of every enabled mode, in order, into costs[mode] (the
// others are left alone), with the same effects on the node and maps.
void intra_rough_luma_enabled(intra_cu_t *cu, uint32_t costs[35]);
// Rough cost of a chroma mode: Cb plus Cr against their predictions.
uint32_t intra_rough_chroma(intra_cu_t *cu, int32_t chroma_mode);
// The residual coder's cost of a luma mode (chroma mode) with its mode
// bits, from the states of the node's depth slot; *cbf receives the coded
// block flags of the trial.
uint32_t intra_luma_trial(intra_cu_t *cu, int32_t mode, uint8_t *cbf);
uint32_t intra_chroma_trial(intra_cu_t *cu, int32_t chroma_mode, uint8_t *cbf);
// Luma RD pass over the list, last entry first; returns the winner's index
// (ties go to the better-ranked entry).
int32_t intra_luma_rd_pass(intra_cu_t *cu, const intra_list_t *list, uint32_t *best_cost, uint8_t *best_cbf);
// Publishes the luma winner of a CU before the chroma decision.
void intra_take_luma(intra_cu_t *cu, int32_t mode, uint32_t cost, uint8_t cbf);
// Mode 4 against the best listed chroma mode (cost COST_NONE: none); returns
// the winner.  Mode 4 wins ties and adds its chroma flags to cbf_intra.
int32_t intra_chroma_mode4(intra_cu_t *cu, int32_t best_mode, uint32_t best_cost);
// Without NxN there is no RD pass: the first candidate and chroma mode 4,
// costed by coding the CU once.
void intra_finish_without_rd(intra_cu_t *cu, int32_t mode);
// Whole-CU RD cost of a luma mode from the depth slot's states, taken over
// node->intra_cost when not dearer (ties go to the newcomer; *cbf receives
// its cbf byte); otherwise luma_dir goes back to the mode it held.  The CU
// is committed as it stands (by the caller or an earlier trial): only its
// luma mode changes.
void intra_cu_rd_trial(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                       int32_t mode, uint8_t *cbf);
// Final cost of a CU from the depth slot's states.
void intra_cu_cost(intra_cu_t *cu, bool luma_first, int32_t chroma_mode);
// Half-size neighbour array (2N + 1 samples) of an N x N block's full one:
// the corner kept, the run beyond it averaged in pairs (rounding up); the
// smoothed copy follows the predictors' rule at half sizes 8 and 16 and
// equals the array at 4 and 32.
void intra_half_neighbours(const intra_funcs_t &intra, const uint8_t *full, int32_t n, uint8_t *half,
                           uint8_t *half_smooth);
