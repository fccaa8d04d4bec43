// What coding a CU leaves behind, for tests that compare two ways of coding
// or costing it: the estimation states, the CU's reconstructed planes, the
// unit maps and the node's cbf byte.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "analysis/ctu_maps.h"
#include "analysis/cu_node.h"
#include "common/cabac_tables.h"

struct coding_outcome_t {
  cabac_est_t est;
  std::vector<uint8_t> rec;
  ctu_unit_maps_t maps;
  uint8_t node_cbf;
};

inline void expect_same_coding(const coding_outcome_t &a, const coding_outcome_t &b) {
  EXPECT_EQ(a.est.bits, b.est.bits);
  for (int32_t i = 0; i < CABAC_NUM_CTX + 4; i++) ASSERT_EQ(a.est.state[i], b.est.state[i]) << "state " << i;
  EXPECT_TRUE(a.rec == b.rec) << "reconstruction";
  EXPECT_EQ(std::memcmp(&a.maps, &b.maps, sizeof(ctu_unit_maps_t)), 0) << "unit maps";
  EXPECT_EQ(a.node_cbf, b.node_cbf);
}

// A trial's cost and distortion beside what its coding left.
struct costed_outcome_t {
  uint32_t cost, distortion;
  coding_outcome_t coding;
};

// The same cost, and where it is one (below COST_NONE) the same
// distortion and coding.
inline void expect_same_costed(const costed_outcome_t &a, const costed_outcome_t &b) {
  EXPECT_EQ(a.cost, b.cost);
  if (a.cost >= COST_NONE) return;
  EXPECT_EQ(a.distortion, b.distortion);
  expect_same_coding(a.coding, b.coding);
}
