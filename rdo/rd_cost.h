// Rate-distortion services of the residual coder for the coding-tree
// decision: block encoders, RD costs of committed CUs, the residual
// quad-tree search and the per-depth snapshots that let the search leave
// the winner in place without a second coding pass.
//
// Every cost is distortion + ((bits * lambda + 32768) >> 16) with bits in
// 1/256 bit counted on the live estimation state ctx->cabac.est, lambda =
// lambda * 256; distortion = luma SSD + ((Cb SSD + Cr SSD) * chroma weight +
// 128) >> 8.  Everything that codes advances the live state and leaves its
// reconstruction in ctx->ctu_rec.
#pragma once

#include <cstdint>
#include <cstring>

#include "analysis/cu_node.h"
#include "bitstream/cabac.h"
#include "common/rd_cost.h"

struct encoder_t;

// Fill w x h 8x8 units (w, h in 1, 2, 4, 8) of a CTU map from its first entry.
void ctu_map8_fill(uint8_t *first, int32_t w, int32_t h, uint8_t value);
void ctu_map32_fill(mv_t *first, int32_t w, int32_t h, mv_t value);

// The chroma prediction of the intra CU (log2 size 3..6) or 4x4 PU at z
// with the modes the direction maps hold (a PU's chroma is that of its 8x8
// area, whose first PU gives the luma mode).
void intra_predict_cu_chroma(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// Weighted distortion of the CU's (or block's) reconstruction.
uint32_t block_distortion(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t planes);

// Codes the CU as committed (a skip CU with its prediction only) and costs
// it with its CU syntax; stores the distortion in ctx->last_distortion.
// With flag set, returns COST_NONE when no residual was coded.
uint32_t cu_rd_cost(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    int32_t flag);
// The same for a CU whose reconstruction is already in place.
uint32_t cu_rd_cost_coded(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// As cu_rd_cost with the prediction already in the buffer; a 2Nx2N merge
// CU left without residual becomes a skip CU in the maps and the node.
uint32_t cu_rd_cost_nopred(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                           int32_t flag);
// The committed decision with its prediction in place: the cheaper of no
// residual (prediction distortion given) and the coded residual.  A
// residual_slot names a trial slot holding a trial of the same prediction
// coded with residual from the same state, whose residual is then taken
// instead of coded again.
uint32_t cu_rd_cost_node(encoder_t *ctx, cu_node_t *node, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                         uint32_t pred_distortion, int32_t residual_slot = 0);
// A committed inter CU decided without residual: its prediction alone,
// no coded residual in any unit, costed with its syntax (as cu_rd_cost).
uint32_t cu_rd_cost_prediction(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size);
// The committed CU as the trial kept in a slot coded it, from the node's
// starting states start (coding the committed decision again would give
// the same levels and reconstruction): the decision's syntax committed
// back over the trial's and costed in place.
uint32_t cu_rd_cost_kept(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                         int32_t slot, const cabac_est_t &start);
// The committed CU with every block in place as coding it from the states
// start would leave them (only the quantiser's scratch states, in the live
// states, differ from start), costed in place.
uint32_t cu_rd_cost_in_place(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                             const cabac_est_t &start);
// An intra CU whose chroma blocks are in place as coding it from the
// states start would leave them (the quantiser's chroma scratch states in
// the live states), and so its luma where it is one transform block (with
// the luma scratch states): the luma coded again where it is not, from
// start with the chroma scratch states kept, and the CU costed in place.
// With first_copies, where the luma's first block is in place as coding it
// from start would leave it, that block is not coded again: the quantiser's
// luma scratch states are set as its coding left them, the two bytes at
// first_copies.
uint32_t cu_rd_cost_intra_in_place(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                                   int32_t log2_size, const cabac_est_t &start,
                                   const uint8_t *first_copies = nullptr);
// The committed prediction made again and the residual coded at qp;
// COST_NONE when no coefficient is coded.  With predicted set the
// prediction is already in the buffer (left there by the skip trial of the
// same motion) and is not made again.
uint32_t cu_rd_cost_residual(encoder_t *ctx, int32_t qp, const uint32_t *lambdas, int32_t z, int32_t x, int32_t y,
                             int32_t log2_size, bool predicted = false);
// A trial of the committed inter CU (not skipped) with residual at qp whose
// cost only matters below bound: the coding stops once what it has costed
// reaches bound (the distortion of its luma and Cb blocks, and from its
// first coded luma level on the bits of its syntax up to the prediction
// units and, where the CU is one transform block, of its luma residual; see
// inter_trial_bound_t), and *cut tells so; the cost returned is then that
// partial cost, at least bound and at most the trial's, and the buffers and
// states are left part way.  Otherwise the trial's cost as cu_rd_cost
// gives it, with ctx->last_distortion.  Flags: BOUNDED_PREDICT makes the
// prediction first, BOUNDED_NONE_IF_EMPTY returns COST_NONE when no
// coefficient is coded, BOUNDED_HEAD_FIRST counts the syntax up to the
// prediction units before the first luma block (worth it where their
// motion bits are many and nearly every trial codes a level).
constexpr int32_t BOUNDED_PREDICT = 1, BOUNDED_NONE_IF_EMPTY = 2, BOUNDED_HEAD_FIRST = 4;
uint32_t cu_rd_cost_bounded(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                            int32_t qp, uint32_t bound, int32_t flags, bool *cut);
// A trial of the committed intra CU (log2 size 3..5, one transform block)
// whose cost only matters up to limit: as cu_rd_cost (with
// ctx->last_distortion) while it costs at most limit, else some cost above
// limit and at most the trial's, the buffers and states left part way.
// The luma block is coded first and costed with all of the CU's syntax
// but the chroma cbf flags and residuals, then with its residual's bits
// as far as they stay within the limit; only a trial still within it
// codes its chroma blocks.
uint32_t cu_rd_cost_intra_within(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                                 uint32_t limit);
// The node's committed inter decision: without residual, then with the
// coded residual, the cheaper kept.  With flag set, cu_rd_cost with that
// flag.  An intra node takes the intra path.
uint32_t inter_cu_rd_cost(encoder_t *ctx, cu_node_t *node, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                          int32_t flag, int32_t residual_slot = 0);

// The luma SATDs of a CU's four quarters (z-order) under the motions its
// rectangular partitions' units were costed with.  A unit's SATD is the sum
// of its two square halves' and a prediction depends only on the motion and
// the place: each Nx2N unit covers one quarter of each 2NxN unit, so the
// motions both partitions try are predicted and measured once per quarter.
// Lives for the partition trials of one CU.
struct pu_quarter_costs_t {
  static constexpr int32_t SLOTS = 64;  // per quarter, open addressing by the motion
  static constexpr uint32_t EMPTY = ~0u;
  struct entry_t {
    uint64_t mv;   // list 0's vector, then list 1's (0 for a list not used)
    uint32_t ref;  // both lists' reference indices as bytes (0xff: not used); EMPTY: a free slot
    uint32_t satd;
  };
  entry_t at[4][SLOTS];
  entry_t spare;  // written when a quarter's table is full, never found
  pu_quarter_costs_t() { std::memset(at, 0xff, sizeof at); }
};

// Motion of the two prediction units of the partition in node->part_mode
// (1 2NxN, 2 Nx2N): per unit the best merge candidate against searched
// uni- and bi-predicted motion, by SATD; written into the node's block of
// that partition.  Writes the reference maps as it searches; codes and
// commits nothing.  The quarters' SATDs are looked up in and added to
// `quarters`, shared by the CU's two partition trials.
void inter_cu_search_full(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                          pu_quarter_costs_t *quarters);

// split_cu_flag at the node: context from the left and above depths of the
// 8x8 depth map at map8_pos; advances the state.  0 for depths above 2.
uint32_t split_cu_flag_cost(encoder_t *ctx, uint32_t lambda, int32_t map8_pos, int32_t depth, int32_t flag);
// 1 when the 16x16 source block at (x, y) asks for a split.
int32_t cu_split_texture_test(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);

// Bits of one prediction unit's syntax and of the CU's coded transform
// tree, added to the live counter with the states advanced.
uint32_t prediction_unit_bits(encoder_t *ctx, int32_t x, int32_t y, int32_t w, int32_t h, int32_t log2_cu);
uint32_t transform_tree_bits(encoder_t *ctx, int32_t x, int32_t y, int32_t log2_size);

// Per-depth snapshots (depth 6 - log2 size) of everything a CU trial
// changes: transform flags, decisions and maps, reconstruction, levels and
// the whole CABAC state.  Only the CTU record is copied, in runs; a restore
// gives the nodes of the restored transform tree their flags from it, so
// that the next commit of the CU writes the same record.  The transform-tree
// slot keeps the transform flags and cbf bytes of a CU in the same way.
void cu_snapshot_save(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t y, int32_t log2_size);
void cu_snapshot_restore(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t y, int32_t log2_size);
void transform_tree_save(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size, int32_t slot);
void transform_tree_restore(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size, int32_t slot);
// Trial slots: a CU trial kept as its coding left it (before the CU's
// split flag), so that a decision taken after later trials overwrote the
// buffers is put back instead of coded again.  One slot of each kind per
// depth.
constexpr int32_t TRIAL_SKIP = 1;      // the skip CU of the best merge candidate (prediction and states)
constexpr int32_t TRIAL_RESIDUAL = 2;  // the merged CU with residual
void cu_trial_save(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size, int32_t slot);
void cu_trial_restore(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size, int32_t slot);
// An inter CU coded with residual, kept with what its coding read besides
// the maps (the states it started from, QP, lambda and quantiser), so that
// coding the same CU again is taken from it: TRIAL_MERGED, the best merged
// trial of the node, and TRIAL_CODED, its best trial with searched motion;
// each kept until the next forget at that depth.
constexpr int32_t TRIAL_MERGED = 3;
constexpr int32_t TRIAL_CODED = 4;
// The chroma blocks of an intra CU as a trial of its chroma mode coded them
// (samples, levels, the units' chroma cbf bits and the quantiser's chroma
// scratch states), kept per depth and put back.
constexpr int32_t TRIAL_CHROMA = 5;
void cu_chroma_keep(encoder_t *ctx, int32_t z, int32_t log2_size);
void cu_chroma_put_back(encoder_t *ctx, int32_t z, int32_t log2_size);
// The same for the luma block of a CU (its samples, levels, the units'
// luma cbf bits and the quantiser's luma scratch states); the keep holds
// the whole live states too, which the trial put-back restores.
constexpr int32_t TRIAL_LUMA = 6;
void cu_luma_keep(encoder_t *ctx, int32_t z, int32_t log2_size);
void cu_luma_put_back(encoder_t *ctx, int32_t z, int32_t log2_size);
void cu_luma_trial_put_back(encoder_t *ctx, int32_t z, int32_t log2_size);
void cu_trial_keep(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t log2_size, int32_t slot,
                   const cabac_est_t &start);
void cu_trial_forget(encoder_t *ctx, int32_t log2_size, int32_t slot);
// The kept trial's residual of the CU at z (its reconstruction, levels,
// the cbf bits of its units and the quantiser's scratch states) put in
// place, when coding the CU's one unsplit transform block per plane over
// the prediction in the buffer from the live states gives exactly that:
// same CU, QP, lambda, quantiser, motion and partition, and the live states
// those of the trial's start (but for the transform split flag's
// contexts).  False, with nothing changed, otherwise.
bool cu_trial_residual_take(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t slot);
// Whether the take would succeed now (the committed CU coded from the live
// states repeats the kept trial).
bool cu_trial_residual_kept(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t slot);
// A trial without residual needs less: its reconstruction (the
// prediction) and the states, into the slot's record; the rest follows
// from committing the decision, and the restore clears the cbf bits of the
// CU's units and its node as coding it without residual would.
void cu_prediction_save(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t slot);
void cu_prediction_restore(encoder_t *ctx, int32_t z, int32_t log2_size, int32_t slot);
int32_t snapshots_alloc(encoder_t *ctx);
void snapshots_free(encoder_t *ctx);
// The same records in a block of the caller's: its size, and, with
// ctx->snapshots pointing at such a block (zeroed, 32-byte aligned), the
// records' arrays laid out in it.
size_t snapshots_bytes();
void snapshots_lay_out(encoder_t *ctx);

// Residual quad-tree search of the node with its current prediction.
// Component mask: 1 luma (intra: predicted per transform block), 2 chroma
// along the luma tree, 3 luma and chroma of a committed inter CU, 33 the
// luma of a 4x4 PU.  Leaves the best tree in the nodes, the
// reconstruction, the levels and the node's cbf byte, and the cost in
// node->tu_tree_cost.
// With 1 on an 8x8 intra CU, TREE_KEEP_FIRST_QUARTER keeps the first 4x4
// quarter as the split trial codes it, per mode; with 33 on the CU's first
// 4x4 PU, TREE_TAKE_FIRST_QUARTER takes it instead of coding the unit again
// where that gives the same result.  Kept quarters last until the next
// tu_first_quarters_forget or a quarter of another CU is kept.
constexpr int32_t TREE_KEEP_FIRST_QUARTER = 64;
constexpr int32_t TREE_TAKE_FIRST_QUARTER = 128;
// With 33: the unit's neighbour arrays are in place (prepared for it, and
// nothing has predicted a luma block since), so its prediction reads them.
constexpr int32_t TREE_REFS_PREPARED = 256;
// With 3: the unsplit root takes its residual from the TRIAL_MERGED or
// TRIAL_CODED trial where cu_trial_residual_take allows it, instead of
// coding it again.
constexpr int32_t TREE_TAKE_KEPT_ROOT = 512;
// With 33: the unit's prediction is in the reconstruction already.
constexpr int32_t TREE_PREDICTED = 1024;
// A trial that only has to beat a cost passes a bound: the search stops
// coding once the tree's cost is known to reach it.  Returns whether the
// cost stayed below the bound; then everything is as without a bound.  On
// false the tree costs at least the bound, node->tu_tree_cost holds a cost
// at or above it, and the reconstruction, levels, unit and node bytes and
// states the search writes are left part way: the caller puts back or
// codes again whatever it reads next.  A bound of 0 has lost before
// anything is coded (no tree costs less than nothing), whatever the mask;
// mask 33 codes its one block and leaves out only its residual's bits once
// the rest reaches the bound, and mask 2 codes everything and only reports.
constexpr uint32_t TREE_NO_BOUND = UINT32_MAX;
bool transform_tree_search(encoder_t *ctx, cu_node_t *nodes, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                           int32_t mask, int32_t final, uint32_t bound = TREE_NO_BOUND);
// The search of mask 33 (the luma of the 4x4 PU at z, whose node is node)
// for its luma mode `mode` with the TREE_ flags that go with 33, without
// finding the node and the mode again: what transform_tree_search does
// with it (it returns the cost, which is below the bound exactly where that
// returns true).
uint32_t tu_unit_search(encoder_t *ctx, cu_node_t *node, int32_t z, int32_t x, int32_t y, int32_t mode, int32_t flags,
                        uint32_t bound);
void tu_first_quarters_forget(encoder_t *ctx);
// The search's saved states (two per transform size 8x8..32x32), made with
// the row context so that searching allocates nothing.
int32_t tu_states_alloc(encoder_t *ctx);
void tu_states_free(encoder_t *ctx);
// Their size, for a block of the caller's (32-byte aligned; set
// ctx->tu_states to it, then tu_first_quarters_forget).
size_t tu_states_bytes();
// Codes the luma (or the two chroma) blocks of the node unsplit with its
// current mode and returns distortion + ((bit delta * lambda + 32768) >> 16).
// flag 1 predicts the blocks first (the decision's calls); 0 codes them
// against the prediction already in the buffer (a 64x64 luma block, coded
// as four, is always predicted).
uint32_t tu_luma_encode_cost(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                             int32_t flag);
uint32_t tu_chroma_encode_cost(encoder_t *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                               int32_t flag);

// Block encoders.  do_prediction 1 with code_residual 0 predicts only:
// flags 1 luma (intra: the mode at the block's first 4x4 unit of the
// direction map), 2 chroma (the chroma map's mode), 3 both (inter: the
// committed PUs).  With code_residual 1 the committed transform tree is
// coded too.
void encode_tu_4x4(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int8_t qp, int32_t do_prediction,
                   int32_t code_residual, uint32_t flags);
void encode_cu_8x8(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int8_t qp, int32_t do_prediction,
                   int32_t code_residual, uint32_t flags);
void encode_cu_16x16(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int8_t qp, int32_t do_prediction,
                     int32_t code_residual, uint32_t flags);
void encode_cu_32x32(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int8_t qp, int32_t do_prediction,
                     int32_t code_residual, uint32_t flags);
void encode_cu_64x64(encoder_t *ctx, int32_t z, int32_t x, int32_t y, int8_t qp, int32_t do_prediction,
                     int32_t code_residual, uint32_t flags);
