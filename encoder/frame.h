// Pictures, the frame pool and the locked pointer lists.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "motion/mv.h"

struct encoder_t;
struct lowres_data_t;
struct lowres_layout_t;

// Plane margins: every clamped motion vector and every filter tap reads
// inside the allocation.
constexpr int32_t FRAME_PAD_X = 96;
constexpr int32_t FRAME_PAD_Y = 88;
// Margins of the half-resolution planes: the low-resolution search may
// start a block 62 samples outside the picture and the vector kernels write
// up to 31 columns and one row past the plane.
constexpr int32_t LOWRES_PAD_X = 96;
constexpr int32_t LOWRES_PAD_Y = 88;
// Values per CTU of frame_t::vbv_take: the picture's own, then one for each
// of up to 16 pictures in flight before it.
constexpr size_t VBV_TAKES = 17;

// What later CTUs of the picture and later pictures read of one coded 8x8
// unit: split and skip contexts, the most-probable intra modes, QP
// prediction and deblocking QPs, spatial and temporal motion, and the
// deblocking leaf sizes and coefficient flags.  Written once per CTU when
// it is committed.
struct pic_unit_t {
  mv_t mv[2];
  int8_t ref_idx[2];     // negative: list unused; -2 in both lists for intra units
  int8_t qp;             // QpY of the CU
  uint8_t cu_log2;       // log2 size of the CU
  uint8_t flags;         // bit 0 skip CU; bits 4-7 coefficients in the unit's 4x4 quadrants (z-order)
  uint8_t leaf_size;     // half the coding or transform leaf's extent in 4-sample segments
  uint8_t intra;         // 1: intra CU
  uint8_t luma_mode[4];  // IntraPredModeY of the 4x4 quadrants (z-order); 1 (DC) for inter units
};

struct frame_t {
  int32_t poc;  // first field
  uint32_t frame_type_code;
  int64_t pts, dts;
  int32_t frame_number;  // display order
  // The caller's control word for this picture: 1 and 2 ask for the faster
  // motion search (no multi-hexagon step).
  uint32_t control;
  int32_t irap_index;
  uint8_t b_level;
  uint8_t scenecut_candidate;
  uint16_t p_layer;
  // Distances to the pictures the lookahead estimated this one against as it
  // is coded (to its first reference of each list); -1 without an estimate.
  int16_t lowres_l0_distance, lowres_l1_distance;
  uint8_t intra_done;
  // The lookahead pool made the intra estimate of every evaluated block on
  // entry (la->intra_costs); the estimates read it from there.
  uint8_t intra_ready;
  // Every page of the planes is mapped (written once, or populated ahead):
  // the caller's thread only, when it takes or looks ahead at pictures.
  uint8_t pages_ready;
  int32_t refcount;
  int32_t is_input;  // 1: input picture kind (with lookahead data later)

  uint8_t *alloc;
  uint8_t *plane[3];   // origins of Y, Cb, Cr
  // Where reconstruction and deblocking write (the SAO source): the planes
  // themselves, or, for a component whose SAO is on, the same allocation 4
  // rows lower and 32 samples further right, from where SAO writes the
  // planes one CTU behind (ctu_setup_pointers).  The margins hold the shift.
  uint8_t *work[3];
  int32_t stride[3];   // bytes; Cb and Cr share one
  int32_t width, height;  // coded size (multiples of 8)
  int32_t alloc_width, alloc_height;  // whole CTUs

  // Reconstructions: the coded picture's units, row stride ctu_cols * 8.
  // Temporal prediction reads the motion of the top-left unit of every
  // 16x16 area (the standard's motion compression).
  pic_unit_t *units;
  int32_t units_stride;
  int32_t coded_ref_count[2];
  int32_t coded_ref_poc[2][16];
  int32_t is_reference;  // kept in the decoded picture buffer
  int32_t recon_done;    // coded, filtered and extended: readable as a reference
  int32_t final_rows;    // CTU rows from the top that are final (readable)
  // While coded: its entry in the row scheduler, which tells how far into
  // the row below `final_rows` it is final (read under the scheduler's lock).
  struct rowsched_frame_t *sched;

  // With sub-pel planes: the 16 quarter-sample phase planes of the luma
  // picture ((fy << 2) | fx; entry 0 is plane[0]) and its raw horizontal
  // 8-tap sums for x fractions 1..3, all with the luma geometry.  Null
  // without them.  A pooled reconstruction borrows a set of them from the
  // pool only while it is a reference (frame_planes_attach): `plane_holds`
  // counts its coder and the holders that may predict from it (the decoded
  // picture buffer, pictures in flight), and the set goes back when the
  // last of them lets go.  Readers look at `planes_valid`: set when the
  // picture is a reference that builds them (1 half-sample planes only, 2
  // all of them); `plane_rows` counts the CTU rows whose plane windows are
  // built (see ref_planes.h).
  uint8_t *subpel[16];
  int16_t *hplane[3];
  struct frame_planes_t *planes_set;  // the borrowed set, or NULL
  struct frame_planes_t *planes_own;  // frame_new's own set (outside a pool)
  int32_t plane_holds;
  int32_t planes_valid;
  int32_t plane_rows;

  // Input pictures: the half-resolution luma picture, built over the whole
  // CTUs and extended into its margins.  lowres_planes[(fy << 2) | fx] are
  // its quarter-sample phases (entry 0 the picture itself, also reachable
  // as lowres_luma); the other 15 exist only when the pool was made with
  // them.  lowres_width and lowres_height are the coded size halved.
  uint8_t *lowres_alloc;
  uint8_t *lowres_phase_alloc;
  uint8_t *lowres_planes[16];
  // Pool pictures that want the phases: no phase planes of their own (the
  // lookahead's search is whole-sample and reads none), but plane 0 built
  // the way the phases round it (lowres_plane0).
  int32_t lowres_plane0_phased;
  uint8_t *lowres_luma;
  int32_t lowres_stride;
  int32_t lowres_width, lowres_height;
  // Input pictures of an encoder with a lookahead: its cost records.
  lowres_data_t *la;

  // Per CTU of the coded picture: the largest and smallest CU depth, and the
  // distortion record that later pictures compare their skip costs with.
  int8_t *ctu_max_depth;
  int8_t *ctu_min_depth;
  uint32_t *ctu_distortion;
  int32_t record_distortion;

  // 1 when the picture was predicted in real-time speed mode 3, which skips
  // its CUs whatever they cost: its samples need not resemble its source,
  // so pictures predicted from it cost more than the lookahead estimated.
  int32_t skipped_by_speed;

  // Statistics of the coded picture: the average of the CTU QPs rate
  // control chose, and of those coded.
  double avg_qp;
  double avg_coded_qp;
  // Constant bitrate: the QP its model chose for the picture, before a
  // buffer's plan or rows raised it.
  double cbr_qp;
  // Rate control of the coded picture: QP per CTU; with VBV, per CTU row
  // the bits so far, the qscale and QP of the rest of the row, and per CTU
  // the row's running bit sum.  Rows of one picture and later pictures read
  // them while they are written.
  uint8_t *ctu_qp;
  std::atomic<int32_t> *row_bits;
  std::atomic<float> *row_qscale;
  std::atomic<float> *row_qp;
  std::atomic<int32_t> *ctu_bits;
  // With VBV, per CTU as it is coded (VBV_TAKES values each): the bits the
  // picture expects to take, from its CTUs surely coded by then and what
  // its plan says of the rest, then what it knows by then that each
  // picture in flight when it started takes (vbv_ids: their frame numbers,
  // vbv_id_count of them; see ratecontrol_ctu.cpp), and by how much it
  // expects to outgrow its plan.  Later pictures read the values at the
  // CTUs their rows' wait for their references makes certain.
  std::atomic<float> *vbv_take;
  int32_t vbv_ids[16];
  int32_t vbv_id_count;
  std::atomic<float> *vbv_took;

  // Input pictures: adaptive quantisation per 16x16 block (row stride 4 x
  // CTU columns): the QP offset, 2^(-offset/6) in 8.8 fixed point, and the
  // offsets with the CU-tree's part, which the CTU QP uses when marked.
  float *aq_offsets;
  uint16_t *aq_inv_qscale;
  float *aq_cutree_offsets;
  uint8_t use_cutree_offsets;
  // Cost estimates of the picture for rate control: per CTU row, and per
  // CTU as a running sum along its row; the lookahead's (against the
  // picture's references) and the intra ones.
  uint32_t *lookahead_row_costs, *lookahead_ctu_costs;
  uint32_t *intra_row_costs, *intra_ctu_costs;
  int32_t lookahead_cost, intra_cost;  // whole picture
};

// Bounded, NULL-terminated list of pointers with a mutex and two condition
// variables (one for "not empty", one for "not full").
struct frame_list_t {
  void **items;
  int32_t count, capacity;
  pthread_mutex_t mutex;
  pthread_cond_t not_empty, not_full;
};

int frame_list_init(frame_list_t *l, int32_t capacity);
void frame_list_destroy(frame_list_t *l);
// Unlocked operations.
void frame_list_push(frame_list_t *l, void *item);
void frame_list_push_front(frame_list_t *l, void *item);
void *frame_list_shift(frame_list_t *l);
// Blocking, locked operations.
void frame_list_push_wait(frame_list_t *l, void *item);
void *frame_list_shift_wait(frame_list_t *l);

// `subpel`: a reconstruction that carries sub-pel planes (ignored for input
// pictures); `lowres_phases`: input pictures also get the 15 phase planes of
// their half-resolution picture; `layout`: and the lookahead's records.
// `units_later`: a reconstruction's units are left unwritten, for
// frame_units_clear to set before the picture is first handed out.
frame_t *frame_new(int32_t width, int32_t height, int32_t is_input, int32_t subpel = 0, int32_t lowres_phases = 0,
                   const lowres_layout_t *layout = nullptr, bool units_later = false);
// Sets every unit of a reconstruction to "none" (no motion, DC, no CU).
void frame_units_clear(frame_t *f);
void frame_delete(frame_t *f);
// The half-resolution luma plane of a picture (with the 15 phase planes
// when `phases`), margins included; -1 when memory runs out.  Input
// pictures get it when made.
int frame_lowres_alloc(frame_t *f, int32_t phases);
size_t frame_lowres_plane_bytes(const frame_t *f);
// The half-resolution plane, margins included, of a picture of the same
// size (both must have one).
void frame_copy_lowres(frame_t *dst, const frame_t *src);

// Replicates the picture's edge samples into the margins.
void frame_extend_borders(frame_t *f);
// The same for the luma rows [y0, y1) (multiples of 2) and their chroma
// rows; the margin above comes with y0 = 0, the one below with y1 = height.
// With `left_done` the left margin of those rows is not written again (it
// was, by frame_extend_left); the margin above is written from luma column
// `top_from` on (frame_extend_top wrote it left of there), or whole with 0.
void frame_extend_rows(frame_t *f, int32_t y0, int32_t y1, bool left_done = false, int32_t top_from = 0);
// The margin above luma columns [x0, x1) (multiples of 2) and their chroma
// columns, with the corner left of the picture when x0 = 0, once the
// picture's first row is final there.
void frame_extend_top(frame_t *f, int32_t x0, int32_t x1);
// The left margin alone of those rows, once they are final in the first CTU.
void frame_extend_left(frame_t *f, int32_t y0, int32_t y1);

// One set of sub-pel planes: fifteen phase planes and three 16-bit
// horizontal planes, each with the luma plane's geometry (stride, origin
// and margins).
struct frame_planes_t {
  uint8_t *phases;
  int16_t *hplanes;
};

struct frame_pool_t {
  frame_list_t unused;
  frame_t **all;
  int32_t all_count, all_capacity;
  int32_t width, height;
  // Per kind (0 reconstructions, 1 input pictures): how many the pool made,
  // how many are handed out now and the most handed out at once.
  int32_t made[2], in_use[2], peak[2];
  // Sub-pel plane sets: all of them, the unused ones (a stack: the set given
  // back last goes out first), and the most lent at once.
  frame_planes_t *plane_sets;
  frame_planes_t **plane_free;
  int32_t plane_set_count, plane_free_count, plane_peak;
  // Once the input has ended (frame_pool_input_ended), the input pictures
  // nobody holds any more, whose planes' pages go back to the system; once
  // every picture has started too (frame_pool_starts_ended), the
  // reconstructions nobody holds any more as well.
  int32_t input_ended;
  int32_t starts_ended;
  frame_t **returning;
  int32_t returning_count;
  int32_t returning_busy;  // a job takes them (frame_pool_next_returning)
  pthread_mutex_t mutex;
};
// Makes every picture the pool will ever hand out: `inputs` input pictures
// and `recons` reconstructions, and `plane_sets` sets of sub-pel planes for
// the reconstructions to borrow; input pictures with the lookahead's records
// as for frame_new, and with `lowres_phases` building plane 0 of their
// half-resolution picture as the phases round it, without phase planes.
// -1 when memory runs out (then destroy it).
// `units_later`: as for frame_new; frame_pool_clear_units must then run
// before the first reconstruction is handed out.
int frame_pool_init(frame_pool_t *pool, int32_t width, int32_t height, int32_t inputs, int32_t recons,
                    int32_t plane_sets = 0, int32_t lowres_phases = 0, const lowres_layout_t *layout = nullptr,
                    bool units_later = false);
// frame_units_clear for every reconstruction of the pool.
void frame_pool_clear_units(frame_pool_t *pool);
// Frees every picture and plane set the pool made, on up to `threads`
// threads at once (at most 4).
void frame_pool_destroy(frame_pool_t *pool, int32_t threads = 1);
// Share k of n of what frame_pool_destroy frees (every n-th picture and
// plane set from the k-th), for a caller with threads of its own to run the
// shares on at once; frame_pool_destroy afterwards frees the rest.
void frame_pool_free_share(frame_pool_t *pool, int32_t k, int32_t n);
// Gives every reconstruction of the pool a half-resolution plane: the CU
// search on half-resolution pictures reads its references' there.
int frame_pool_add_recon_lowres(frame_pool_t *pool);
// A picture with reference count 1, or NULL when every one of its kind is in
// use.
frame_t *frame_get_unused(frame_pool_t *pool, int32_t is_input);
void frame_release(frame_pool_t *pool, frame_t *f);
// The picture of that kind frame_get_unused would hand out after `skip`
// others (NULL when there is none), left in the pool.
frame_t *frame_peek_unused(frame_pool_t *pool, int32_t is_input, int32_t skip);
// Maps every page of the picture's planes now, without touching their
// contents (so it may run while another thread writes them): the first write
// of a fresh page otherwise costs a page fault and a clear of the page on
// the writing thread.  Does nothing where the system cannot.
void frame_populate(frame_t *f);
// Gives the pages of the picture's planes back to the system (they read as
// zero when next written; the planes are written whole before an input
// picture is used again); the reverse of frame_populate.
void frame_return_pages(frame_t *f);
// From `ended` 1 on, an input picture released by its last holder is listed
// for frame_return_pages; 0 forgets the list (its pictures keep their pages).
void frame_pool_input_ended(frame_pool_t *pool, int32_t ended);
// After the input has ended: every picture has started, so no
// reconstruction is handed out again unless input comes again
// (frame_pool_input_ended 0).  The unused reconstructions, and from now on
// those released by their last holder, are listed too: their planes are
// written whole (coded, then extended into the margins) before a
// reconstruction is read again, so returned pages, which read as zero, are
// as good as the old samples.
void frame_pool_starts_ended(frame_pool_t *pool);
// Whether listed pictures wait and no job takes them: then the caller starts
// one, which calls frame_pool_next_returning until it gives NULL.
bool frame_pool_returning_job_due(frame_pool_t *pool);
frame_t *frame_pool_next_returning(frame_pool_t *pool);
// One more holder of a picture (released with frame_release).
void frame_addref(frame_pool_t *pool, frame_t *f);

// Sub-pel planes of a reconstruction that becomes a reference: lends it a
// set, held by its coder (plane_holds 1).  -1 when every set is lent.
int frame_planes_attach(frame_pool_t *pool, frame_t *f);
// A holder that may predict from the picture: frame_addref, and one more
// hold on its planes when it has them.
void frame_ref_hold(frame_pool_t *pool, frame_t *f);
// The reverse of frame_ref_hold: the planes go back to the pool when no
// hold remains; then frame_release.
void frame_ref_drop(frame_pool_t *pool, frame_t *f);
// The coder is done with the planes it built (the picture stays held).
void frame_planes_coded(frame_pool_t *pool, frame_t *f);
