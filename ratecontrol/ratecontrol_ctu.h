// Per-CTU rate control.
#pragma once

struct encoder_t;

// The CTU's QP and its two multipliers (lambda * 256 against squared
// errors, sqrt(lambda) against SAD-type costs).  Constant QP: the picture's
// QP and the multipliers of the picture's class.
void ratecontrol_ctu_qp(encoder_t *ctx);
