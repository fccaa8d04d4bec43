// Coding decisions of one CTU.  Each driver leaves the decision in
// ctx->maps, the reconstruction in ctx->ctu_rec and the CU QPs in place.
#pragma once

struct encoder_t;

// Test-only: every choice the syntax allows, made at random from ctx->rng
// (CU tree, 4x4 prediction units, all luma and chroma modes, transform
// splits, QP per quantisation group).
void analyse_ctu_random(encoder_t *ctx);
// Test-only: the whole CTU as one 64x64 skip CU with merge candidate 0 and
// no residual.  Only a CTU of a P or B picture that lies wholly inside the
// picture, and whose candidate 0 keeps within the vector limits the
// scheduler waits for, can go so: false (nothing touched) for any other,
// which the caller then decides as usual.
bool analyse_ctu_merge_only(encoder_t *ctx);
