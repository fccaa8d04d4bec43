// The CTU job's steps around the analysis: per-CTU set-up, and the
// bookkeeping of the decided tree that later CTUs and pictures read.
#pragma once

struct encoder_t;

// Per picture, before any CTU: depth ranges and distortion records cleared.
void picture_analysis_reset(encoder_t *ctx);
// Analysis level, similarity of the neighbouring CTUs, the depth-statistics
// prior.
void ctu_start(encoder_t *ctx);
// The picture's per-CTU largest and smallest CU depth.
void cu_tree_finalize_qp(encoder_t *ctx);
// Flags bytes and leaf sizes of the CTU's 8x8 units.
void cu_tree_store_flags(encoder_t *ctx);
// The CTU's depth statistics, for the CTUs right of and below it.
void ctu_save_neighbour_data(encoder_t *ctx);
