// Coding decisions of one CTU.  Each driver leaves the decision in
// ctx->maps, the reconstruction in ctx->ctu_rec and the CU QPs in place.
#pragma once

struct encoder_t;

// Test-only: every choice the syntax allows, made at random from ctx->rng
// (CU tree, 4x4 prediction units, all luma and chroma modes, transform
// splits, QP per quantisation group).
void analyse_ctu_random(encoder_t *ctx);
