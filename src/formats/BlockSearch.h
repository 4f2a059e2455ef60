// The BC4 / BC5 endpoint search, compiled once for each processor version the build has: the
// baseline code in BlockCompress.cpp and, on x86-64, BlockSearchAvx2.cpp and
// BlockSearchAvx512.cpp, each with its own instruction set for the whole file. Everything here
// has internal linkage, so that no version's code can stand in for another's.
//
// Values are handled in endpoint units: UNORM t = (c + 1) * 127.5 in [0, 255], SNORM t = c * 127
// in [-127, 127]. A palette entry k steps from the low endpoint of n steps decodes to
// (k * hi + (n - k) * lo) / n; the encoder evaluates exactly that expression, so the error it
// minimises is the error of the decoded block.
//
// The search per mode: least-squares refinement of four starting ranges at once (one a vector
// lane), two integer pairs from each, then a descent over neighbouring pairs and one set of
// longer jumps. Candidate pairs are scored a vector of pairs at a time: four lanes in the
// baseline code, eight in the AVX2 code, and in the AVX-512 code sixteen, eight pairs of each of
// two blocks. Every lane computes the same IEEE operations and the winner is the first of the
// least error in list order, so all give the same bytes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#ifdef __AVX512DQ__
#include <immintrin.h>
#endif

#include "BlockCompress.h"
#include "BwVector.h"

// One row of (width + 3) / 4 BC5 blocks from a band of rowCount (1 to 4) texel rows, rows[r]
// being row r of the band in picture order, in each processor version (see BwEncodeBc5Image).
void BwEncodeBc5BandAvx2(const float* const* rows, int rowCount, int width, int numComponents, BwBc4Kind kind,
                         unsigned char* out);
void BwEncodeBc5BandAvx512(const float* const* rows, int rowCount, int width, int numComponents, BwBc4Kind kind,
                           unsigned char* out);

namespace {

constexpr int TEXELS = 16;

struct Bc4Range {
  float minCode;  // the lowest endpoint value and the fixed low entry of the six-value mode
  float maxCode;
};

constexpr Bc4Range RangeOf(BwBc4Kind kind) {
  return kind == BwBc4Kind::UNORM ? Bc4Range{0.0f, 255.0f} : Bc4Range{-127.0f, 127.0f};
}

// Vectors of floats and of ints. Every operation on them is element-wise IEEE arithmetic, so
// that a value computed in a lane of any width is the same bits. The baseline code scores pairs
// four lanes at a time; its eight-lane vectors (the ranges of two blocks) become two four-lane
// ones. Sixteen-lane vectors are used by the AVX-512 version only: the functions that take or
// give them are templates, made only there.
typedef float Float4 __attribute__((vector_size(16)));
typedef int32_t Int4 __attribute__((vector_size(16)));
typedef float Float8 __attribute__((vector_size(32)));
typedef int32_t Int8 __attribute__((vector_size(32)));
typedef float Float16 __attribute__((vector_size(64)));
typedef int32_t Int16 __attribute__((vector_size(64)));

template <typename V> struct IntVector;
template <> struct IntVector<Float4> { typedef Int4 Type; };
template <> struct IntVector<Float8> { typedef Int8 Type; };
template <> struct IntVector<Float16> { typedef Int16 Type; };

// The vector of twice V's lanes.
template <typename V> struct WideVector;
template <> struct WideVector<Float4> { typedef Float8 Type; };
template <> struct WideVector<Float8> { typedef Float16 Type; };

BW_INLINE Float4 Splat(float v) { return Float4{v, v, v, v}; }

// Lane-wise minimum and maximum (no operand is ever NaN here).
BW_INLINE Float4 Min(Float4 a, Float4 b) { return a < b ? a : b; }
BW_INLINE Float4 Max(Float4 a, Float4 b) { return a > b ? a : b; }

// The lanes of two vectors one after the other. (Vectors wider than the baseline's are passed
// by address: the baseline code passes them in memory, not in registers.)
template <typename V>
BW_INLINE void Join(const V& a, const V& b, typename WideVector<V>::Type* out) {
  if constexpr (sizeof(V) == 16) *out = __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7);
  else *out = __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

// The 16 targets of one block in endpoint units, also scaled by the palette denominators 7 and
// 5: a palette entry k steps from lo of n steps is (k * hi + (n - k) * lo) / n, so
// n * t - (k * (hi - lo) + n * lo) is n times the decoded error, with every palette term an
// exact small integer. minError5 and maxError5 are 25 times the squared distances to the fixed
// entries of the six-value mode. w holds the weight of each texel's squared error.
struct Block {
  alignas(16) float t[TEXELS];
  float t7[TEXELS], t5[TEXELS];
  float minError5[TEXELS], maxError5[TEXELS];
  float w[TEXELS];
  float sumW, sumWT;  // sums of w and of w * t
  Bc4Range range;
};

// Palette step of a texel at position pos in steps from lo: the nearest, by rounding (a tie to
// the even step). Near 1.5 * 2^23 floats are whole numbers, so adding it rounds pos (0 to 8) to
// an integer and subtracting it again is exact: two additions in place of two conversions. The
// position is that of the target clamped to [lo, hi] first: (x - lo) * (n / span) with x - lo at
// most span is at most n (1 + 2^-23), so the step is 0 to n, the one the unclamped position would
// round to once held to the palette.
#define BW_NEAREST_STEP(pos) (((pos) + 0x1.8p23f) - 0x1.8p23f)

// The targets of two or four blocks, four lanes each, for refining the four starting ranges
// of each in one vector: eight lanes for the eight-value searches of a BC5 block's x and y
// blocks, sixteen for two BC5 blocks. The blocks are of one kind.
template <typename V> struct BlockLanes {
  V t[TEXELS], w[TEXELS];
  V sumW, sumWT;
  Bc4Range range;
};

// Lanes 4g to 4g + 3 hold value[g].
template <typename V>
BW_INLINE void FourLanesEach(const float* value, V* out) {
  if constexpr (sizeof(V) == 32) {
    Join(Splat(value[0]), Splat(value[1]), out);
  } else {
    Float8 low, high;
    Join(Splat(value[0]), Splat(value[1]), &low);
    Join(Splat(value[2]), Splat(value[3]), &high);
    Join(low, high, out);
  }
}

template <typename V>
BW_INLINE void Interleave(const Block* const* b, BlockLanes<V>* out) {
  constexpr int BLOCKS = int(sizeof(V) / sizeof(float)) / 4;
  float t[BLOCKS], w[BLOCKS], sumW[BLOCKS], sumWT[BLOCKS];
  for (int i = 0; i < TEXELS; ++i) {
    for (int g = 0; g < BLOCKS; ++g) t[g] = b[g]->t[i], w[g] = b[g]->w[i];
    FourLanesEach(t, &out->t[i]);
    FourLanesEach(w, &out->w[i]);
  }
  for (int g = 0; g < BLOCKS; ++g) sumW[g] = b[g]->sumW, sumWT[g] = b[g]->sumWT;
  FourLanesEach(sumW, &out->sumW);
  FourLanesEach(sumWT, &out->sumWT);
  out->range = b[0]->range;
}

// The eight-value targets of two blocks for scoring eight pairs of each in one vector (W, of
// sixteen lanes): lanes 0 to 7 work on block 0, lanes 8 to 15 on block 1.
template <typename W> struct PairLanes {
  W t[TEXELS], t7[TEXELS], w[TEXELS];
  Bc4Range range;
};

template <typename W>
BW_INLINE void Interleave(const Block& b0, const Block& b1, PairLanes<W>* out) {
  const Float8 zero = Float8{};
  for (int i = 0; i < TEXELS; ++i) {
    Join(zero + b0.t[i], zero + b1.t[i], &out->t[i]);
    Join(zero + b0.t7[i], zero + b1.t7[i], &out->t7[i]);
    Join(zero + b0.w[i], zero + b1.w[i], &out->w[i]);
  }
  out->range = b0.range;
}

// Texel i's target, target scaled by the palette denominator and weight, in every lane (one
// block) or in the lanes of its block (several).
template <int kSteps, typename V>
BW_INLINE void LoadTexel(const Block& b, int i, V* t, V* scaled, V* w) {
  const V zero = V{};
  *t = b.t[i] - zero;  // t - 0 is t, even for -0
  *scaled = (kSteps == 7 ? b.t7[i] : b.t5[i]) - zero;
  *w = b.w[i] - zero;
}
template <int kSteps, typename V>
BW_INLINE void LoadTexel(const BlockLanes<V>& b, int i, V* t, V* scaled, V* w) {
  static_assert(kSteps == 7, "blocks share only the eight-value search");
  *t = b.t[i], *w = b.w[i];
  *scaled = V{};  // not used in refining
}
template <int kSteps, typename V>
BW_INLINE void LoadTexel(const PairLanes<V>& b, int i, V* t, V* scaled, V* w) {
  static_assert(kSteps == 7, "blocks share only the eight-value search");
  *t = b.t[i], *scaled = b.t7[i], *w = b.w[i];
}
template <typename V>
BW_INLINE void LoadSums(const Block& b, V* sumW, V* sumWT) {
  *sumW = b.sumW - V{}, *sumWT = b.sumWT - V{};
}
template <typename V>
BW_INLINE void LoadSums(const BlockLanes<V>& b, V* sumW, V* sumWT) {
  *sumW = b.sumW, *sumWT = b.sumWT;
}

// The errors of the endpoint pairs lo, hi (integers, one a lane) in one mode: the weighted
// squared decoded error with each texel on its nearest entry (the fixed entries of the six-value
// mode included); pairs the mode cannot store score infinity. The pairs sit in the lanes, so
// that no lane ever waits for another.
template <int kSteps, typename V, typename Texels>
BW_INLINE void ScorePairs(const Texels& texels, const V& lo, const V& hi, V* error) {
  typedef typename IntVector<V>::Type IV;
  constexpr float n = float(kSteps);
  const V zero = V{}, one = zero + 1.0f;
  const V span = hi - lo, base = n * lo;
  const IV open = span > zero;
  const V scale = open ? n / (open ? span : one) : zero;  // lo == hi: every texel on lo
  // Four running sums (texels i, i + 4, i + 8, i + 12 in one), so that the additions overlap.
  V sums[4] = {zero, zero, zero, zero};
#pragma GCC unroll 16
  for (int i = 0; i < TEXELS; ++i) {
    V t, scaled, w;
    LoadTexel<kSteps>(texels, i, &t, &scaled, &w);
    const V above = t > lo ? t : lo;
    const V pos = ((above < hi ? above : hi) - lo) * scale;
    const V k = BW_NEAREST_STEP(pos);
    const V d = scaled - (k * span + base);
    V err = d * d;
    if constexpr (kSteps == 5) {
      err = texels.minError5[i] < err ? zero + texels.minError5[i] : err;
      err = texels.maxError5[i] < err ? zero + texels.maxError5[i] : err;
    }
    sums[i % 4] += err * w;
  }
  const V sum = ((sums[0] + sums[2]) + (sums[1] + sums[3])) * (1.0f / (n * n));
  const Bc4Range range = texels.range;
  const IV storable = (lo >= range.minCode) & (hi <= range.maxCode) & (kSteps == 5 ? lo <= hi : lo < hi);
  *error = storable ? sum : zero + HUGE_VALF;
}

// Scores the endpoint pairs loOffset + loList[j], hiOffset + hiList[j] of one block, for j below
// count, a multiple of V's lanes (see ScorePairs). Each lane of laneLeast and laneIndex keeps
// the first least pair it has seen.
template <int kSteps, typename V>
BW_INLINE void PairErrors(const Block& b, const float* loList, const float* hiList, int count,
                          float loOffset, float hiOffset, V* laneLeast, typename IntVector<V>::Type* laneIndex) {
  typedef typename IntVector<V>::Type IV;
  constexpr int LANES = int(sizeof(V) / sizeof(float));
  alignas(32) static constexpr int32_t LANE_NUMBERS[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  IV index;
  std::memcpy(&index, LANE_NUMBERS, sizeof index);
  for (int j = 0; j < count; j += LANES, index += LANES) {
    V lo, hi, result;
    std::memcpy(&lo, loList + j, sizeof lo);
    std::memcpy(&hi, hiList + j, sizeof hi);
    lo += loOffset;
    hi += hiOffset;
    ScorePairs<kSteps>(b, lo, hi, &result);
    // Each lane keeps its first least pair.
    const IV better = result < *laneLeast;
    *laneLeast = better ? result : *laneLeast;
    *laneIndex = better ? index : *laneIndex;
  }
}

// Moves the lexicographically least (error, index) of the lanes into lane 0: the first of the
// least error over all the pairs the lanes have seen.
BW_INLINE void LeastToLaneZero(Float4* least, Int4* index) {
  for (int distance : {2, 1}) {
    const Float4 e = distance == 2 ? __builtin_shufflevector(*least, *least, 2, 3, 0, 1)
                                   : __builtin_shufflevector(*least, *least, 1, 0, 3, 2);
    const Int4 i = distance == 2 ? __builtin_shufflevector(*index, *index, 2, 3, 0, 1)
                                 : __builtin_shufflevector(*index, *index, 1, 0, 3, 2);
    const Int4 take = (e < *least) | ((e == *least) & (i < *index));
    *least = take ? e : *least;
    *index = take ? i : *index;
  }
}
BW_INLINE void LeastToLaneZero(Float8* least, Int8* index) {
  const Float8 e = __builtin_shufflevector(*least, *least, 4, 5, 6, 7, 0, 1, 2, 3);
  const Int8 i = __builtin_shufflevector(*index, *index, 4, 5, 6, 7, 0, 1, 2, 3);
  const Int8 take = (e < *least) | ((e == *least) & (i < *index));
  const Float8 l8 = take ? e : *least;
  const Int8 i8 = take ? i : *index;
  Float4 l4 = __builtin_shufflevector(l8, l8, 0, 1, 2, 3);
  Int4 i4 = __builtin_shufflevector(i8, i8, 0, 1, 2, 3);
  LeastToLaneZero(&l4, &i4);
  (*least)[0] = l4[0];
  (*index)[0] = i4[0];
}

// The palette entry of each texel for the endpoints lo <= hi: its step from lo (0 to kSteps),
// and with kSteps 5, -1 for minCode or 6 for maxCode when that fixed entry is strictly nearer;
// the choice PairErrors scores.
template <int kSteps>
BW_INLINE void Assign(const Block& b, float lo, float hi, int chosen[TEXELS]) {
  const float span = hi - lo;
  const float scale = span > 0.0f ? float(kSteps) / span : 0.0f;
  for (int q = 0; q < 4; ++q) {
    Float4 t;
    std::memcpy(&t, b.t + 4 * q, sizeof t);
    const Float4 pos = (Min(Max(t, Splat(lo)), Splat(hi)) - lo) * scale;
    const Float4 k = BW_NEAREST_STEP(pos);
    Int4 entry = __builtin_convertvector(k, Int4);
    if constexpr (kSteps == 5) {
      const Float4 d = 5.0f * t - (k * span + 5.0f * lo);
      Float4 err = d * d, minError, maxError;
      std::memcpy(&minError, b.minError5 + 4 * q, sizeof minError);
      std::memcpy(&maxError, b.maxError5 + 4 * q, sizeof maxError);
      entry = minError < err ? Int4{-1, -1, -1, -1} : entry;
      err = Min(minError, err);
      entry = maxError < err ? Int4{6, 6, 6, 6} : entry;
    }
    std::memcpy(chosen + 4 * q, &entry, sizeof entry);
  }
}

// Refines float endpoint pairs, one a lane (four for each block), by alternating entry choice
// and least-squares fit: with each texel on its nearest step k (texels on the fixed entries of
// the six-value mode left out), the weighted regression of the targets on the step, lo + k * s,
// gives the new ends. A lane keeps its pair once the range closes or the texels no longer pin
// down two ends.
//
// G independent sets of lanes (texels[g], lo[g], hi[g]) go through the loop together, so that
// their chains of dependent operations overlap.
template <int kSteps, int G, typename V, typename Texels>
BW_INLINE void RefineLanes(const Texels* texels, V* lo, V* hi) {
  typedef typename IntVector<V>::Type IV;
  constexpr float n = float(kSteps);
  const V zero = V{}, one = zero + 1.0f, top = zero + n;
  const V minCode = zero + texels[0].range.minCode, maxCode = zero + texels[0].range.maxCode;
  V blockSumW[G], blockSumWT[G];
  IV active[G];
  for (int g = 0; g < G; ++g) {
    LoadSums(texels[g], &blockSumW[g], &blockSumWT[g]);
    active[g] = zero == zero;
  }
  for (int round = 0; round < 2; ++round) {
    V span[G], scale[G];
    // Two running sums of each (even and odd texels), so that the additions overlap.
    V sumsW[G][2], sumsWT[G][2], sumsWK[G][2], sumsWKK[G][2], sumsWKT[G][2];
    for (int g = 0; g < G; ++g) {
      span[g] = hi[g] - lo[g];
      active[g] &= span[g] > 1e-3f;
      scale[g] = active[g] ? top / (active[g] ? span[g] : one) : zero;
      for (int h = 0; h < 2; ++h) sumsW[g][h] = sumsWT[g][h] = sumsWK[g][h] = sumsWKK[g][h] = sumsWKT[g][h] = zero;
    }
#pragma GCC unroll 16
    for (int i = 0; i < TEXELS; ++i) {
      for (int g = 0; g < G; ++g) {
        V t, scaled, w;
        LoadTexel<kSteps>(texels[g], i, &t, &scaled, &w);
        const V above = t > lo[g] ? t : lo[g];
        const V pos = ((above < hi[g] ? above : hi[g]) - lo[g]) * scale[g];
        const V k = BW_NEAREST_STEP(pos);
        if constexpr (kSteps == 5) {
          const V d = scaled - (k * span[g] + 5.0f * lo[g]);
          const IV onStep = (d * d <= texels[g].minError5[i]) & (d * d <= texels[g].maxError5[i]);
          w = onStep ? w : zero;
          sumsW[g][i % 2] += w;
          sumsWT[g][i % 2] += w * t;
        }
        const V wk = w * k;
        sumsWK[g][i % 2] += wk;
        sumsWKK[g][i % 2] += wk * k;
        sumsWKT[g][i % 2] += wk * t;
      }
    }
    for (int g = 0; g < G; ++g) {
      const V count = kSteps == 5 ? sumsW[g][0] + sumsW[g][1] : blockSumW[g];
      const V sumT = kSteps == 5 ? sumsWT[g][0] + sumsWT[g][1] : blockSumWT[g];
      const V sumK = sumsWK[g][0] + sumsWK[g][1], sumKK = sumsWKK[g][0] + sumsWKK[g][1];
      const V sumKT = sumsWKT[g][0] + sumsWKT[g][1];
      // det is the sum over pairs of texels of w_i * w_j * (k_i - k_j)^2: 0 when every texel is
      // on one step, else at least 1, as every weight is.
      const V det = count * sumKK - sumK * sumK;
      const IV fits = active[g] & (det > 0.5f);
      const V step = (count * sumKT - sumK * sumT) / (fits ? det : one);
      const V fitLo = (sumT - step * sumK) / (count > one ? count : one);
      const V fitHi = fitLo + step * n;
      active[g] = fits & (fitLo <= fitHi);
      const V clampedLo = fitLo > minCode ? fitLo : minCode, clampedHi = fitHi > minCode ? fitHi : minCode;
      lo[g] = active[g] ? (clampedLo < maxCode ? clampedLo : maxCode) : lo[g];
      hi[g] = active[g] ? (clampedHi < maxCode ? clampedHi : maxCode) : hi[g];
    }
  }
}

struct Candidate {
  float error;
  int lo, hi;
  bool six;  // the six-value mode
};

// Endpoint pairs to score together: the starting points of a search, or the neighbours of the
// best pair.
struct PairList {
  static constexpr int CAPACITY = 40;  // 8 refined pairs and 25 of the narrow window, padded
  alignas(32) float lo[CAPACITY];
  alignas(32) float hi[CAPACITY];
  int count = 0;
  void Add(int l, int h) {
    lo[count] = float(l);
    hi[count] = float(h);
    ++count;
  }
};

// Two integer pairs from each of four refined ones, into the list in lane order: the nearest, and
// the one with the end whose fraction is nearer a half rounded the other way. The descent looks
// at the rest.
BW_INLINE void RoundedPairs(Float4 lo, Float4 hi, PairList* pairs) {
  const Float4 zero = Splat(0.0f);
  // Endpoints lie in [-127, 255]: rounding and a correction give the floor.
  const Float4 roundLo = BW_NEAREST_STEP(lo), roundHi = BW_NEAREST_STEP(hi);
  const Float4 floorLo = roundLo > lo ? roundLo - 1.0f : roundLo, floorHi = roundHi > hi ? roundHi - 1.0f : roundHi;
  const Float4 fractionLo = lo - floorLo, fractionHi = hi - floorHi;
  const Int4 upLo = fractionLo >= 0.5f, upHi = fractionHi >= 0.5f;
  const Float4 nearLo = upLo ? floorLo + 1.0f : floorLo, nearHi = upHi ? floorHi + 1.0f : floorHi;
  const Float4 otherLo = upLo ? nearLo - 1.0f : nearLo + 1.0f, otherHi = upHi ? nearHi - 1.0f : nearHi + 1.0f;
  const Float4 offLo = fractionLo - 0.5f, offHi = fractionHi - 0.5f;
  const Int4 flipLo = (offLo < zero ? -offLo : offLo) < (offHi < zero ? -offHi : offHi);
  const Float4 secondLo = flipLo ? otherLo : nearLo, secondHi = flipLo ? nearHi : otherHi;
  const Float4 lists[4] = {__builtin_shufflevector(nearLo, secondLo, 0, 4, 1, 5),
                           __builtin_shufflevector(nearLo, secondLo, 2, 6, 3, 7),
                           __builtin_shufflevector(nearHi, secondHi, 0, 4, 1, 5),
                           __builtin_shufflevector(nearHi, secondHi, 2, 6, 3, 7)};
  std::memcpy(pairs->lo + pairs->count, lists, 2 * sizeof lists[0]);
  std::memcpy(pairs->hi + pairs->count, lists + 2, 2 * sizeof lists[0]);
  pairs->count += 8;
}

// Scores `count` pairs (see PairErrors) and keeps the first of the least error when it beats
// *best.
template <int kSteps, typename V>
BW_INLINE void Consider(const Block& b, const float* loList, const float* hiList, int count, int loOffset,
                        int hiOffset, Candidate* best) {
  V least = V{} + best->error;
  typename IntVector<V>::Type index = {};
  PairErrors<kSteps, V>(b, loList, hiList, count, float(loOffset), float(hiOffset), &least, &index);
  LeastToLaneZero(&least, &index);
  if (least[0] < best->error) *best = {least[0], loOffset + int(loList[index[0]]), hiOffset + int(hiList[index[0]]), kSteps == 5};
}

// Bit i set for each lane i of v (sixteen lanes) that is set.
template <typename IW>
BW_INLINE unsigned LaneBits(IW v) {
#ifdef __AVX512DQ__
  return _mm512_movepi32_mask(__m512i(v));
#else
  static_assert(sizeof(IW) == 0, "only the AVX-512 version scores sixteen lanes at once");
  return v[0];
#endif
}

// Consider for two blocks at once in sixteen lanes, eight pairs of each: loList[h][j] +
// loOffset[h], hiList[h][j] + hiOffset[h] for block h. Each block's result is the one Consider
// gives it alone: the first lane of the least error in its half, when that beats *best[h].
template <typename W>
BW_INLINE void ConsiderPair(const PairLanes<W>& two, const float* const* loList, const float* const* hiList,
                            const int* loOffset, const int* hiOffset, Candidate* const* best) {
  typedef typename IntVector<W>::Type IW;
  Float8 l[2], h[2];
  for (int half = 0; half < 2; ++half) {
    std::memcpy(&l[half], loList[half], sizeof l[half]);
    std::memcpy(&h[half], hiList[half], sizeof h[half]);
    l[half] += float(loOffset[half]);
    h[half] += float(hiOffset[half]);
  }
  W lo, hi, error;
  Join(l[0], l[1], &lo);
  Join(h[0], h[1], &hi);
  ScorePairs<7>(two, lo, hi, &error);
  // The least error of each half, in all its lanes.
  W least = error, other;
  other = __builtin_shufflevector(least, least, 4, 5, 6, 7, 0, 1, 2, 3, 12, 13, 14, 15, 8, 9, 10, 11);
  least = other < least ? other : least;
  other = __builtin_shufflevector(least, least, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
  least = other < least ? other : least;
  other = __builtin_shufflevector(least, least, 1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
  least = other < least ? other : least;
  W previous;
  Join(Float8{} + best[0]->error, Float8{} + best[1]->error, &previous);
  const unsigned first = LaneBits(IW((error == least) & (least < previous)));
  for (int half = 0; half < 2; ++half) {
    const unsigned lanes = (first >> (8 * half)) & 0xFFu;
    if (lanes == 0) continue;
    const int j = __builtin_ctz(lanes);
    *best[half] = {least[8 * half], loOffset[half] + int(loList[half][j]), hiOffset[half] + int(hiList[half][j]),
                   false};
  }
}

// Scores every pair of the list and keeps the first of the least error when it beats *best.
template <int kSteps, typename V>
BW_INLINE void ConsiderAll(const Block& b, PairList* pairs, Candidate* best) {
  // Pad to whole vectors with copies of the first pair, which can never be strictly better.
  while (pairs->count % int(sizeof(V) / sizeof(float))) pairs->Add(int(pairs->lo[0]), int(pairs->hi[0]));
  Consider<kSteps, V>(b, pairs->lo, pairs->hi, pairs->count, 0, 0, best);
}

// Moves each of C blocks whose `moving` is set to the best of the eight neighbouring pairs
// while one of them is better; each block stops on its own, as if searched alone.
//
// The sixteen-lane code (kWide) moves the two blocks of each pair together while either moves,
// from their lanes in `paired`.
template <int kSteps, typename V, int C, bool kWide, typename Paired>
BW_INLINE void Descend(const Block* const* blocks, const Paired* paired, Candidate* best, bool* moving) {
  alignas(32) static constexpr float LO_STEPS[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
  alignas(32) static constexpr float HI_STEPS[8] = {-1, 0, 1, -1, 1, -1, 0, 1};
  for (int round = 0; round < 8; ++round) {
    Candidate start[C] = {};
    bool any = false;
    for (int c = 0; c < C; ++c) {
      moving[c] = moving[c] && best[c].error > 0.0f;
      start[c] = best[c];
    }
    if constexpr (kWide && kSteps == 7 && C >= 2) {
      for (int g = 0; g < C / 2; ++g) {
        const int a = 2 * g, b = 2 * g + 1;
        if (!moving[a] && !moving[b]) continue;
        Candidate stopped = {};  // where the results of a block that has stopped go
        const float* los[2] = {LO_STEPS, LO_STEPS};
        const float* his[2] = {HI_STEPS, HI_STEPS};
        const int loOffset[2] = {start[a].lo, start[b].lo}, hiOffset[2] = {start[a].hi, start[b].hi};
        Candidate* bests[2] = {moving[a] ? &best[a] : &stopped, moving[b] ? &best[b] : &stopped};
        ConsiderPair(paired[g], los, his, loOffset, hiOffset, bests);
      }
    } else {
      for (int c = 0; c < C; ++c)
        if (moving[c]) Consider<kSteps, V>(*blocks[c], LO_STEPS, HI_STEPS, 8, start[c].lo, start[c].hi, &best[c]);
    }
    for (int c = 0; c < C; ++c) {
      moving[c] = moving[c] && best[c].error < start[c].error;
      any = any || moving[c];
    }
    if (!any) break;
  }
}

// Refines the four starting ranges los[c], his[c] of each of the blocks (see RefineLanes), G
// vectors of V's lanes, four lanes a block.
template <int kSteps, typename V, int G>
BW_INLINE void RefineBlocks(const Block* const* blocks, float (*los)[4], float (*his)[4]) {
  constexpr int BLOCKS = int(sizeof(V) / sizeof(float)) / 4;
  BlockLanes<V> lanes[G];
  V lo[G], hi[G];
  for (int g = 0; g < G; ++g) Interleave(blocks + BLOCKS * g, &lanes[g]);
  std::memcpy(lo, los, sizeof lo);
  std::memcpy(hi, his, sizeof hi);
  RefineLanes<kSteps, G>(lanes, lo, hi);
  std::memcpy(los, lo, sizeof lo);
  std::memcpy(his, hi, sizeof hi);
}

// Searches one mode in each of C blocks (C = 2, 4 or 8 only in the eight-value mode) from the
// range [lo[c], hi[c]] its values cover, and keeps in best[c] the better of the pair found and
// the one there. The blocks go through each step together, so that the dependent chains of one
// overlap those of the other, and refine their ranges two (or, in the sixteen-lane code, four) in
// one vector; each block's result is the one a search of it alone gives. Smooth blocks often hold
// fewer distinct levels than the palette: a ramp over the 4 x 4 block has 4 or 7, which sit
// exactly on the palette when the endpoints reach a sixth of the range beyond one end, so those
// two extended ranges are starting points as well, and the range widened by half that at both
// ends a fourth.
template <int kSteps, typename V, int C, bool kWide>
BW_INLINE void Search(const Block* const* blocks, const float* lo, const float* hi, Candidate* best) {
  float los[C][4], his[C][4];
  for (int c = 0; c < C; ++c) {
    const float extra = (hi[c] - lo[c]) / float(kSteps - 1);
    const float minCode = blocks[c]->range.minCode, maxCode = blocks[c]->range.maxCode;
    const float l[4] = {lo[c], lo[c], std::max(lo[c] - extra, minCode), std::max(lo[c] - 0.5f * extra, minCode)};
    const float h[4] = {hi[c], std::min(hi[c] + extra, maxCode), hi[c], std::min(hi[c] + 0.5f * extra, maxCode)};
    std::memcpy(los[c], l, sizeof l);
    std::memcpy(his[c], h, sizeof h);
  }
  typedef typename WideVector<V>::Type W;
  if constexpr (kWide && C % 4 == 0) {
    RefineBlocks<kSteps, W, C / 4>(blocks, los, his);
  } else if constexpr (C % 2 == 0) {
    RefineBlocks<kSteps, Float8, C / 2>(blocks, los, his);
  } else {
    static_assert(C == 1, "one block, or pairs of blocks");
    Float4 lo4, hi4;
    std::memcpy(&lo4, los[0], sizeof lo4);
    std::memcpy(&hi4, his[0], sizeof hi4);
    RefineLanes<kSteps, 1>(blocks[0], &lo4, &hi4);
    std::memcpy(los[0], &lo4, sizeof lo4);
    std::memcpy(his[0], &hi4, sizeof hi4);
  }
  Candidate local[C];
  PairList pairs[C];
  for (int c = 0; c < C; ++c) {
    Float4 lo4, hi4;
    std::memcpy(&lo4, los[c], sizeof lo4);
    std::memcpy(&hi4, his[c], sizeof hi4);
    RoundedPairs(lo4, hi4, &pairs[c]);
    // In a narrow block a step is a fraction of a code and which integers bound the range
    // matters most: try every pair from two below to two above each end.
    if (hi[c] - lo[c] < 16.0f) {
      // Lows from two below to two above, each with highs from one below to three above.
      alignas(16) static constexpr float NARROW_LO[28] = {-2, -2, -2, -2, -2, -1, -1, -1, -1, -1, 0, 0, 0, 0,
                                                          0,  1,  1,  1,  1,  1,  2,  2,  2,  2,  2, 0, 0, 0};
      alignas(16) static constexpr float NARROW_HI[28] = {-1, 0, 1, 2, 3, -1, 0, 1, 2, 3, -1, 0, 1, 2,
                                                          3,  -1, 0, 1, 2, 3, -1, 0, 1, 2, 3, 0, 0, 0};
      const float baseLo = std::floor(lo[c]), baseHi = std::floor(hi[c]);
      for (int q = 0; q < 7; ++q) {
        Float4 l, h;
        std::memcpy(&l, NARROW_LO + 4 * q, sizeof l);
        std::memcpy(&h, NARROW_HI + 4 * q, sizeof h);
        l += baseLo;
        h += baseHi;
        std::memcpy(pairs[c].lo + pairs[c].count + 4 * q, &l, sizeof l);
        std::memcpy(pairs[c].hi + pairs[c].count + 4 * q, &h, sizeof h);
      }
      pairs[c].count += 25;  // the last three are overwritten by the padding
    }
    local[c] = {HUGE_VALF, 0, 0, kSteps == 5};
  }
  // The sixteen-lane code scores the pairs of the blocks two at a time (block 2g and 2g + 1).
  constexpr bool wide = kWide && kSteps == 7 && C >= 2;
  PairLanes<W> paired[wide ? C / 2 : 1];
  if constexpr (wide) {
    for (int g = 0; g < C / 2; ++g) Interleave(*blocks[2 * g], *blocks[2 * g + 1], &paired[g]);
    for (int g = 0; g < C / 2; ++g) {
      const int a = 2 * g, b = 2 * g + 1;
      if (pairs[a].count == 8 && pairs[b].count == 8) {  // no narrow window
        const float* loLists[2] = {pairs[a].lo, pairs[b].lo};
        const float* hiLists[2] = {pairs[a].hi, pairs[b].hi};
        const int none[2] = {0, 0};
        Candidate* bests[2] = {&local[a], &local[b]};
        ConsiderPair(paired[g], loLists, hiLists, none, none, bests);
      } else {
        for (int c : {a, b}) ConsiderAll<kSteps, V>(*blocks[c], &pairs[c], &local[c]);
      }
    }
  } else {
    for (int c = 0; c < C; ++c) ConsiderAll<kSteps, V>(*blocks[c], &pairs[c], &local[c]);
  }
  bool moving[C];
  for (int c = 0; c < C; ++c) moving[c] = true;
  Descend<kSteps, V, C, wide>(blocks, paired, local, moving);
  // Better pairs are often a few codes away, past pairs that are worse: try spans one and two
  // codes wider and narrower around the same middle, and the pair moved by two codes.
  alignas(32) static constexpr float LO_JUMPS[8] = {-2, -1, 1, 2, -2, 2, 0, 0};
  alignas(32) static constexpr float HI_JUMPS[8] = {2, 1, -1, -2, 0, 0, -2, 2};
  Candidate descended[C];
  for (int c = 0; c < C; ++c) descended[c] = local[c];
  if constexpr (wide) {
    for (int g = 0; g < C / 2; ++g) {
      const int a = 2 * g, b = 2 * g + 1;
      const float* loLists[2] = {LO_JUMPS, LO_JUMPS};
      const float* hiLists[2] = {HI_JUMPS, HI_JUMPS};
      const int loOffset[2] = {descended[a].lo, descended[b].lo}, hiOffset[2] = {descended[a].hi, descended[b].hi};
      Candidate* bests[2] = {&local[a], &local[b]};
      ConsiderPair(paired[g], loLists, hiLists, loOffset, hiOffset, bests);
    }
  } else {
    for (int c = 0; c < C; ++c)
      Consider<kSteps, V>(*blocks[c], LO_JUMPS, HI_JUMPS, 8, descended[c].lo, descended[c].hi, &local[c]);
  }
  for (int c = 0; c < C; ++c) moving[c] = local[c].error < descended[c].error;
  Descend<kSteps, V, C, wide>(blocks, paired, local, moving);
  for (int c = 0; c < C; ++c)
    if (local[c].error < best[c].error) best[c] = local[c];
}

// Bytes of the chosen pair: endpoints in the order that selects the mode, then the indices.
BW_INLINE void PackBlock(const Block& b, const Candidate& c, unsigned char out[8]) {
  // Block index of each palette entry: in the eight-value mode e0 = hi is index 0, e1 = lo
  // index 1 and step k index 8 - k; in the six-value mode (entries -1 to 6, see Assign) e0 = lo
  // is index 0, e1 = hi index 1, step k index k + 1, minCode 6 and maxCode 7.
  static constexpr uint8_t INDEX8[8] = {1, 7, 6, 5, 4, 3, 2, 0};
  static constexpr uint8_t INDEX6[8] = {6, 0, 2, 3, 4, 5, 1, 7};
  int chosen[TEXELS];
  uint64_t bits = 0;
  int e0, e1;
  if (c.six) {
    Assign<5>(b, float(c.lo), float(c.hi), chosen);
    e0 = c.lo, e1 = c.hi;
    for (int i = 0; i < TEXELS; ++i) bits |= uint64_t(INDEX6[chosen[i] + 1]) << (3 * i);
  } else {
    Assign<7>(b, float(c.lo), float(c.hi), chosen);
    e0 = c.hi, e1 = c.lo;
    for (int i = 0; i < TEXELS; ++i) bits |= uint64_t(INDEX8[chosen[i]]) << (3 * i);
  }
  // SNORM endpoints are two's complement bytes.
  out[0] = static_cast<unsigned char>(uint32_t(e0) & 0xFFu);
  out[1] = static_cast<unsigned char>(uint32_t(e1) & 0xFFu);
  for (int i = 0; i < 6; ++i) out[2 + i] = static_cast<unsigned char>((bits >> (8 * i)) & 0xFFu);
}

// The targets of one block of 16 components, whose squared errors count `weights` times (each
// at least 1), and the least and greatest of them.
BW_INLINE void PrepareBlock(const float* values, const float* weights, BwBc4Kind kind, Block* block, float* least,
                            float* greatest) {
  Block& b = *block;
  b.range = RangeOf(kind);
  const Float4 minFixed = Splat(5.0f * b.range.minCode), maxFixed = Splat(5.0f * b.range.maxCode);
  Float4 low = Splat(HUGE_VALF), high = Splat(-HUGE_VALF), sumsW[4], sumsWT[4];
  for (int q = 0; q < 4; ++q) {
    Float4 c;
    std::memcpy(&c, values + 4 * q, sizeof c);
    c = c == c ? c : Splat(0.0f);  // not a number: the middle of the range
    c = Min(Max(c, Splat(-1.0f)), Splat(1.0f));
    const Float4 t = kind == BwBc4Kind::UNORM ? (c + 1.0f) * 127.5f : c * 127.0f;
    const Float4 t5 = 5.0f * t, dMin = t5 - minFixed, dMax = t5 - maxFixed;
    const Float4 t7 = 7.0f * t, minError = dMin * dMin, maxError = dMax * dMax;
    std::memcpy(b.t + 4 * q, &t, sizeof t);
    std::memcpy(b.t7 + 4 * q, &t7, sizeof t7);
    std::memcpy(b.t5 + 4 * q, &t5, sizeof t5);
    std::memcpy(b.minError5 + 4 * q, &minError, sizeof minError);
    std::memcpy(b.maxError5 + 4 * q, &maxError, sizeof maxError);
    low = Min(low, t);
    high = Max(high, t);
    std::memcpy(&sumsW[q], weights + 4 * q, sizeof sumsW[q]);
    std::memcpy(b.w + 4 * q, &sumsW[q], sizeof sumsW[q]);
    sumsWT[q] = sumsW[q] * t;
  }
  const Float4 halvesW = (sumsW[0] + sumsW[2]) + (sumsW[1] + sumsW[3]);
  const Float4 halvesWT = (sumsWT[0] + sumsWT[2]) + (sumsWT[1] + sumsWT[3]);
  b.sumW = (halvesW[0] + halvesW[2]) + (halvesW[1] + halvesW[3]);
  b.sumWT = (halvesWT[0] + halvesWT[2]) + (halvesWT[1] + halvesWT[3]);
  *least = std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
  *greatest = std::max(std::max(high[0], high[1]), std::max(high[2], high[3]));
}

// The whole search for C blocks of 16 components (see PrepareBlock), scoring pairs V's lanes at
// a time (or, with kWide, two blocks' in twice as many); the blocks share the eight-value
// search, the one every block has.
template <typename V, int C, bool kWide>
BW_INLINE void EncodeBc4(const float* const* values, const float* const* weights, BwBc4Kind kind,
                         unsigned char* const* out) {
  Block blocks[C];
  const Block* searched[C];
  float mn[C], mx[C], searchedLo[C], searchedHi[C];
  Candidate best[C], searchedBest[C];
  int count = 0;
  for (int c = 0; c < C; ++c) {
    PrepareBlock(values[c], weights[c], kind, &blocks[c], &mn[c], &mx[c]);
    best[c] = {HUGE_VALF, 0, 0, true};
    // A block of one integer value is exact in the six-value mode.
    if (mn[c] == mx[c] && mn[c] == std::floor(mn[c])) {
      best[c] = {0.0f, int(mn[c]), int(mn[c]), true};
      continue;
    }
    searched[count] = &blocks[c], searchedLo[count] = mn[c], searchedHi[count] = mx[c];
    searchedBest[count++] = best[c];
  }
  int done = 0;
  if constexpr (C >= 8) {
    if (count == 8) Search<7, V, 8, kWide>(searched, searchedLo, searchedHi, searchedBest), done = 8;
  }
  if constexpr (C >= 4) {
    if (count - done >= 4)
      Search<7, V, 4, kWide>(searched + done, searchedLo + done, searchedHi + done, searchedBest + done), done += 4;
  }
  for (; done + 2 <= count; done += 2)
    Search<7, V, 2, kWide>(searched + done, searchedLo + done, searchedHi + done, searchedBest + done);
  if (done < count) Search<7, V, 1, kWide>(searched + done, searchedLo + done, searchedHi + done, searchedBest + done);
  for (int c = 0, j = 0; c < C; ++c) {
    const Block& b = blocks[c];
    if (j < count && searched[j] == &b) best[c] = searchedBest[j++];
    else continue;
    // The six-value mode pays when texels lie at or near the ends of the range, which it holds
    // exactly, while the rest span a narrower range between: start from the range of the
    // texels away from the ends, for two meanings of "near" (half a code, 5% of the range).
    const float span = b.range.maxCode - b.range.minCode;
    if (best[c].error > 0.0f && (mn[c] < b.range.minCode + 0.05f * span || mx[c] > b.range.maxCode - 0.05f * span)) {
      for (float edge : {0.5f, 0.05f * span}) {
        float innerLo = HUGE_VALF, innerHi = -HUGE_VALF;
        for (int i = 0; i < TEXELS; ++i) {
          if (b.t[i] < b.range.minCode + edge || b.t[i] > b.range.maxCode - edge) continue;
          innerLo = std::min(innerLo, b.t[i]);
          innerHi = std::max(innerHi, b.t[i]);
        }
        const Block* one = &b;
        if (innerLo <= innerHi) Search<5, V, 1, kWide>(&one, &innerLo, &innerHi, &best[c]);
      }
    }
  }
  for (int c = 0; c < C; ++c) PackBlock(blocks[c], best[c], out[c]);
}

// Weights that make the squared errors of x and y count as the squared angles they turn the
// normal by. A reader rebuilds z as sqrt(1 - x^2 - y^2), so a change dx moves the normal by
// (dx, 0, -x dx / z): an angle of |dx| * sqrt(1 + x^2 / z^2). Near the horizon (z small) a small
// error in x or y is a large one in direction; z^2 is held to at least 1/20 there, where that
// slope stops describing the error.
BW_INLINE void AngleWeights(const float* x, const float* y, float* weightX, float* weightY) {
  for (int q = 0; q < 4; ++q) {
    Float4 cx, cy;
    std::memcpy(&cx, x + 4 * q, sizeof cx);
    std::memcpy(&cy, y + 4 * q, sizeof cy);
    cx = cx == cx ? Min(Max(cx, Splat(-1.0f)), Splat(1.0f)) : Splat(0.0f);
    cy = cy == cy ? Min(Max(cy, Splat(-1.0f)), Splat(1.0f)) : Splat(0.0f);
    const Float4 xx = cx * cx, yy = cy * cy;
    const Float4 zz = Max((1.0f - xx) - yy, Splat(0.05f));
    const Float4 wx = 1.0f + xx / zz, wy = 1.0f + yy / zz;
    std::memcpy(weightX + 4 * q, &wx, sizeof wx);
    std::memcpy(weightY + 4 * q, &wy, sizeof wy);
  }
}

// One band of BC5 blocks (see BwEncodeBc5BandAvx2), two blocks (four BC4 blocks) searched together,
// or with kWide four (eight BC4 blocks): wider vectors need more independent work to stay busy.
template <typename V, bool kWide>
BW_INLINE void EncodeBc5Band(const float* const* rows, int rowCount, int width, int numComponents,
                             BwBc4Kind kind, unsigned char* out) {
  const int blocks = (width + 3) / 4;
  constexpr int TOGETHER = kWide ? 4 : 2;
  for (int block = 0; block < blocks; block += TOGETHER) {
    const int together = std::min(TOGETHER, blocks - block);
    float x[TOGETHER][TEXELS], y[TOGETHER][TEXELS], weightX[TOGETHER][TEXELS], weightY[TOGETHER][TEXELS];
    const float* values[2 * TOGETHER];
    const float* weights[2 * TOGETHER];
    unsigned char* blockOut[2 * TOGETHER];
    for (int b = 0; b < together; ++b) {
      for (int r = 0; r < 4; ++r) {
        const float* row = rows[std::min(r, rowCount - 1)];
        for (int c = 0; c < 4; ++c) {
          const int64_t column = std::min((block + b) * 4 + c, width - 1);
          x[b][4 * r + c] = row[column * numComponents];
          y[b][4 * r + c] = row[column * numComponents + 1];
        }
      }
      AngleWeights(x[b], y[b], weightX[b], weightY[b]);
      values[2 * b] = x[b], values[2 * b + 1] = y[b];
      weights[2 * b] = weightX[b], weights[2 * b + 1] = weightY[b];
      blockOut[2 * b] = out + 16 * (block + b), blockOut[2 * b + 1] = out + 16 * (block + b) + 8;
    }
    if (together == 4) {
      EncodeBc4<V, 8, kWide>(values, weights, kind, blockOut);
    } else if (together == 2) {
      EncodeBc4<V, 4, kWide>(values, weights, kind, blockOut);
    } else {
      for (int b = 0; b < together; ++b)
        EncodeBc4<V, 2, kWide>(values + 2 * b, weights + 2 * b, kind, blockOut + 2 * b);
    }
  }
}

}  // namespace
