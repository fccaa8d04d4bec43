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
// SAO to the rows of CTUs that no later deblocking changes: the top rows
// (all but the last n / 16) of the CTU to the left, whose right neighbour is
// now deblocked, and the bottom rows of the one above that, whose lower and
// lower-right neighbours are; in the last column the same for this CTU, and
// in the last row whole CTUs.  So every sample is filtered once, and a CTU's
// top rows are final as soon as the CTU right of it is coded.
void ctu_post_filter(encoder_t *ctx);
