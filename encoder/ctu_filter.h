// Where the in-loop filters of a picture read and write, and the SAO
// application one CTU behind the coding.
#pragma once

struct encoder_t;

// Per picture, once the slice's SAO word is set: a component whose SAO is
// on is reconstructed and deblocked into its own plane's allocation, 4 rows
// lower and 32 samples further right (the SAO source), and SAO writes the
// plane from there; a component without SAO is reconstructed in place.
void ctu_setup_pointers(encoder_t *ctx);

// After the CTU at (ctu_x, ctu_y) is deblocked and its SAO decided: applies
// SAO to the CTUs whose right, lower and lower-right neighbours are now
// deblocked (the one above-left; in the last column also the one above; in
// the last row also the one to the left and, in the last column, this one),
// so every CTU is filtered once.
void ctu_post_filter(encoder_t *ctx);
