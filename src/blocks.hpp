// The block sizes of the covariance estimators' lane kernels (the cross-products of matrix.cpp,
// the Ledoit-Wolf chain of covariance.cpp), in one place: the kernel test picks its shapes
// around them.
#pragma once

#include <algorithm>
#include <cstddef>

namespace valmora::blocks {

// Up to this many columns the copied-block tiles are faster: the packing costs more than it
// saves on rows this short (measured even at 20000 x 12, 10-25% faster at 20000 x 16 to 24).
inline constexpr std::size_t kMostTiledColumns = 12;

// ---- few columns: tiles over a block of copied rows ----

// Output tiles are kTileRows rows of kTileVecs vectors of N lanes; entry (i, j) of a tile is the
// sum for the pair of columns (i, j) of the data, carried over every observation in order.
inline constexpr std::size_t kTileRows = 4;
inline constexpr std::size_t kTileVecs = 2;
// Columns of the packed block are padded with zeros to a multiple of this, so tiles never read
// past a row; it is a multiple of kTileRows and of every tile width.
inline constexpr std::size_t kPadding = 16;
// Observations per block, sized from p: as many as fill about 512 KiB, which stays in the
// second-level cache while every tile of the upper triangle streams through it, but never fewer
// than kMinBlockRows, since each tile loads and stores its sums once per block and a short block
// would spend its time there.
inline constexpr std::size_t kBlockValues = 65536;
inline constexpr std::size_t kMinBlockRows = 128;

// ---- many columns: packed panels of 2 N columns ----

// Rows of a register tile: kRows = 6 fills the sixteen vector registers: twelve sums, two column
// vectors, a broadcast and a product.
inline constexpr std::size_t kRows = 6;

// Observations per block: 188 at p = 100 and 64 from p = 300 on measured best.
inline std::size_t packed_block_rows(std::size_t p) { return std::clamp<std::size_t>(18800 / p, 64, 512); }

// Bytes of column panels that every row of tiles meets in turn, kept in the second-level cache.
inline constexpr std::size_t kStretchBytes = 192 * 1024;

// Rows and columns of the blocks in which the upper triangle is mirrored.
inline constexpr std::size_t kMirrorBlock = 64;

// ---- the Ledoit-Wolf chain (covariance.cpp) ----

// Observations per group, one to a lane: this many vectors, of at most kChainMostLanes lanes.
inline constexpr std::size_t kChainGroupVectors = 2;
inline constexpr std::size_t kChainMostLanes = 8;
// Bytes of a group's values that every row of S meets in turn, kept in the second-level cache:
// near 200 KiB, which leaves room beside them on a 512 KiB cache shared by two threads.
inline constexpr std::size_t kChainStretchBytes = 192 * 1024;
// Terms written out at a time for an observation that crosses a power of two.
inline constexpr std::size_t kChainTerms = 2048;

}  // namespace valmora::blocks
