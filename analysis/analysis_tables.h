// Per-encoder analysis tables: Lagrange multipliers by picture class and QP,
// chroma distortion weights, and motion-vector cost arrays by QP.  One
// instance owns one record; its frame and row contexts share the pointer,
// other encoders in the process never see it.
#pragma once

#include <cstdint>

struct encoder_t;
struct param_t;

// Multiplier rows: 0 I pictures, 1 P pictures, 2..4 B pictures of pyramid
// level 1..3 (level k reads row k + 1).
constexpr int32_t LAMBDA_CLASS_COUNT = 5;
constexpr int32_t LAMBDA_QP_COUNT = 64;
constexpr int32_t CHROMA_WEIGHT_COUNT = 58;
constexpr int32_t MVCOST_QP_COUNT = 52;
constexpr int32_t MVCOST_SLOT_COUNT = 4;
// Each MV cost array spans 4R + 280 entries either side of its centre, of
// which |mvd| <= 4R + 272 quarter samples hold costs and the rest stay 0 so
// that a search stepping a little past the range reads a defined value.
constexpr int32_t MVCOST_MARGIN = 280;
constexpr int32_t MVCOST_FILLED_MARGIN = 272;

struct analysis_tables_t {
  uint16_t lambda_sad_table[LAMBDA_CLASS_COUNT][LAMBDA_QP_COUNT];  // sqrt(lambda): weights bits against SAD/SATD
  uint32_t lambda_ssd_table[LAMBDA_CLASS_COUNT][LAMBDA_QP_COUNT];  // lambda * 256: weights bits against squared errors
  const uint16_t *chroma_weight_table;  // CHROMA_WEIGHT_COUNT entries by QP, 1/256 units (static storage)
  // [QP][slot] -> centre of a u16 array indexed by the signed MVD component
  // in quarter samples.  Slot k holds the costs for multiplier row k + 1;
  // slots without an array of their own repeat slot 0.
  uint16_t *mvcost_table[MVCOST_QP_COUNT][MVCOST_SLOT_COUNT];
  uint16_t *mvcost_block[MVCOST_QP_COUNT];  // the one allocation behind each QP's slots
  int32_t mv_range;                         // R of every array (whole samples), 0 before the first
};

// Allocates ctx->tables zero-filled.  Returns 0, or -1 when out of memory.
int32_t analysis_tables_create(encoder_t *ctx);

// Fills both multiplier tables from ctx->param (rcmode, bframes, hierarchy).
// Does nothing when ctx->tables is not created.
void lambda_tables_init(encoder_t *ctx);

// Points chroma_weight_table at the constant table of ctx->param.complexity.
void chroma_weight_init(encoder_t *ctx);

// Builds the MV cost arrays of one QP (0..51) from the multiplier rows,
// which lambda_tables_init must have filled.  Returns 0 on success or when
// the QP already has its arrays, -1 on allocation failure or bad input.
// Costs are clamped to 65535 rather than wrapped; no setting the encoder
// accepts comes near that.
int32_t mvcost_table_init(encoder_t *ctx, int32_t qp);
int32_t mvcost_table_init(const param_t &p, analysis_tables_t *t, int32_t qp);

// QP 12, which is always available whatever the coding range, first when it
// lies outside [qp_min, qp_max], then every QP of that range.  On failure everything built is released
// again and -1 is returned.
int32_t mvcost_tables_build(encoder_t *ctx);
// The same from settings and tables of the caller's, which may run beside
// the rest of the encoder's creation (it reads nothing else).
int32_t mvcost_tables_build(const param_t &p, analysis_tables_t *t);

// Releases every MV cost block once; the multiplier tables stay.
void mvcost_tables_free(encoder_t *ctx);
void mvcost_tables_free(analysis_tables_t *t);

// Releases the MV cost blocks and the record, and clears ctx->tables.  Call
// on the instance only: contexts copied from it share the same record.
void analysis_tables_destroy(encoder_t *ctx);

// -1 when the settings cannot be turned into tables (B-pyramid depth outside
// 0..2), else 0.
int32_t analysis_tables_validate(const param_t *p);
