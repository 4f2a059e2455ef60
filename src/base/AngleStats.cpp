// Angle error tallies; see AngleStats.h.
#include "AngleStats.h"

#include <algorithm>
#include <cmath>

#include "BwVector.h"
#include "NormalMath.h"

// What a chunk of texels adds to a tally besides its histogram.
struct BwAngleChunk {
  int32_t most = -1;  // the largest angle in units, -1 when every texel is empty
  int64_t sum = 0;
  int64_t count = 0;
};

namespace {

constexpr float kUnitsPerDegree = 1e5f;
constexpr uint32_t kUnitsPerBin = 100;  // bins of 0.001 degree
constexpr int kChunk = 256;             // texels whose angles are worked out together

// asin(s) for s in [0, 0.5]: its series to the s^15 term, which is within 2e-7 of it (relative).
inline float AsinSmall(float s) {
  const float s2 = s * s;
  float p = 143.0f / 10240.0f;
  p = p * s2 + 231.0f / 13312.0f;
  p = p * s2 + 63.0f / 2816.0f;
  p = p * s2 + 35.0f / 1152.0f;
  p = p * s2 + 5.0f / 112.0f;
  p = p * s2 + 3.0f / 40.0f;
  p = p * s2 + 1.0f / 6.0f;
  return s + s * s2 * p;
}

// The histogram counter of each of `count` texels (at most kChunk), -1 for an empty float normal,
// and the chunk's largest angle, sum and count. Each angle is rounded to units; its counter is
// the first or second of its bin's two, by the texel's place. The
// angle between unit vectors a and b is 2 asin(|a - b| / 2), which keeps its precision for the
// small angles that matter here (acos of their dot product would not); asin(s) for s above 0.5
// is pi / 2 - 2 asin(sqrt((1 - s) / 2)), so one series serves both halves. Written without
// branches, so that it vectorises; the usual strides of three floats are constants there.
// `decoded` has three floats a texel, or, with kPlanes, its x and y are planes of their own
// (decoded and decoded + decodedStride) and z = sqrt(max(0, 1 - x^2 - y^2)), as a reader of a
// two-component layout rebuilds it.
template <int kExact, int kDecoded, bool kPlanes>
BW_INLINE BwAngleChunk AnglesOf(const float* BW_RESTRICT exact, int exactStride, const float* BW_RESTRICT decoded,
                                int64_t decodedStride, int count, int32_t* BW_RESTRICT slots) {
  int32_t most = -1;
  int64_t sum = 0, counted = 0;
  const int64_t es = kExact > 0 ? kExact : exactStride, ds = kDecoded > 0 ? kDecoded : decodedStride;
  for (int i = 0; i < count; ++i) {
    const float* e = exact + i * es;
    float d[3];
    if (kPlanes) {
      d[0] = decoded[i], d[1] = decoded[i + ds];
      d[2] = std::sqrt(std::max(0.0f, 1.0f - d[0] * d[0] - d[1] * d[1]));
    } else {
      d[0] = decoded[i * ds], d[1] = decoded[i * ds + 1], d[2] = decoded[i * ds + 2];
    }
    const float ee = e[0] * e[0] + e[1] * e[1] + e[2] * e[2];
    const float dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    const float ie = 1.0f / std::sqrt(std::max(ee, 1e-30f)), id = 1.0f / std::sqrt(std::max(dd, 1e-30f));
    const float dx = e[0] * ie - d[0] * id, dy = e[1] * ie - d[1] * id, dz = e[2] * ie - d[2] * id;
    const float s = std::min(0.5f * std::sqrt(dx * dx + dy * dy + dz * dz), 1.0f);
    const bool small = s <= 0.5f;
    const float p = AsinSmall(small ? s : std::sqrt(std::max(0.0f, (1.0f - s) * 0.5f)));
    const float asinS = small ? p : 1.57079632679f - 2.0f * p;
    const float degrees = 2.0f * asinS * 57.2957795131f;
    const bool empty = std::fabs(e[0]) <= float(BW_TINY) && std::fabs(e[1]) <= float(BW_TINY) &&
                       std::fabs(e[2]) <= float(BW_TINY);
    // A decoded normal of no length has no direction: it counts as a right angle off.
    const float angle = dd < 1e-20f ? 90.0f : degrees;
    slots[i] = empty ? -1 : int32_t(angle * kUnitsPerDegree + 0.5f);
  }
  // The angles in units become counters, in a loop of whole numbers of its own that vectorises
  // as well.
  for (int i = 0; i < count; ++i) {
    const int32_t units = slots[i];
    most = std::max(most, units);
    sum += std::max(units, 0);
    counted += units >= 0;
    slots[i] = units < 0 ? -1 : int32_t(2 * (uint32_t(units) / kUnitsPerBin) + uint32_t(i & 1));
  }
  return {most, sum, counted};
}

}  // namespace

// Outside the anonymous namespace and never inlined, so that each processor version is a
// function of its own that the caller's dispatch picks. A planeGap above 0 means planes of x
// and y that far apart (decodedStride is then 1).
BW_VECTOR_CLONES __attribute__((noinline))
BwAngleChunk BwAngleSlots(const float* exact, int exactStride, const float* decoded, int decodedStride,
                          int64_t planeGap, int count, int32_t* slots) {
  if (planeGap > 0) return AnglesOf<3, 0, true>(exact, 3, decoded, planeGap, count, slots);
  if (exactStride == 3 && decodedStride == 3) return AnglesOf<3, 3, false>(exact, 3, decoded, 3, count, slots);
  return AnglesOf<0, 0, false>(exact, exactStride, decoded, decodedStride, count, slots);
}

void BwAngleTally::Add(const float* exact, int exactStride, const float* decoded, int decodedStride, int64_t count) {
  AddUnits(exact, exactStride, decoded, decodedStride, 0, count);
}

void BwAngleTally::AddTwoComponent(const float* exact, const float* xy, int64_t planeGap, int64_t count) {
  AddUnits(exact, 3, xy, 1, planeGap, count);
}

void BwAngleTally::AddUnits(const float* exact, int exactStride, const float* decoded, int decodedStride,
                            int64_t planeGap, int64_t count) {
  int32_t slots[kChunk];
  // Held in locals: the bins are of the same type as the sums, and stores to them would
  // otherwise reload the sums each texel.
  uint64_t counted = count_, sum = sum_;
  uint32_t most = max_;
  for (int64_t at = 0; at < count; at += kChunk) {
    const int n = int(std::min<int64_t>(kChunk, count - at));
    const BwAngleChunk chunk = BwAngleSlots(exact + at * exactStride, exactStride, decoded + at * decodedStride,
                                            decodedStride, planeGap, n, slots);
    if (chunk.most < 0) continue;
    counted += uint64_t(chunk.count);
    sum += uint64_t(chunk.sum);
    most = std::max(most, uint32_t(chunk.most));
    const size_t needed = 2 * (size_t(chunk.most) / kUnitsPerBin + 1);
    if (needed > bins_.size()) bins_.resize(needed, 0);
    // Neighbouring texels mostly fall in one bin: each of a pair counts in its own half of the
    // bin, so that two increments of one counter do not follow each other.
    uint64_t* const bins = bins_.data();
    for (int i = 0; i < n; ++i)
      if (slots[i] >= 0) ++bins[slots[i]];
  }
  count_ = counted, sum_ = sum, max_ = most;
}

void BwAngleTally::Merge(const BwAngleTally& other) {
  count_ += other.count_;
  sum_ += other.sum_;
  max_ = std::max(max_, other.max_);
  if (other.bins_.size() > bins_.size()) bins_.resize(other.bins_.size(), 0);
  for (size_t i = 0; i < other.bins_.size(); ++i) bins_[i] += other.bins_[i];
}

BwLevelStats BwAngleTally::Result(int level) const {
  BwLevelStats stats;
  stats.level = level;
  stats.texels = count_;
  if (count_ == 0) return stats;
  stats.mean = double(sum_) / double(count_) / double(kUnitsPerDegree);
  stats.max = double(max_) / double(kUnitsPerDegree);
  // The first bin by whose end 99 % of the texels are counted; its end, or the largest angle
  // when that is smaller.
  const uint64_t rank = (count_ * 99 + 99) / 100;
  uint64_t seen = 0;
  size_t bin = 0;
  while (2 * bin < bins_.size() && (seen += bins_[2 * bin] + bins_[2 * bin + 1]) < rank) ++bin;
  stats.p99 = std::min(stats.max, double((bin + 1) * kUnitsPerBin) / double(kUnitsPerDegree));
  return stats;
}

void BwAngleStats::Merge(const BwAngleTally& tally) {
  const std::lock_guard<std::mutex> lock(mutex_);
  level_.Merge(tally);
}

void BwAngleStats::MergeFrom(BwAngleStats& other) {
  BwAngleTally tally;
  {
    const std::lock_guard<std::mutex> lock(other.mutex_);
    tally = other.level_;
  }
  Merge(tally);
}

BwLevelStats BwAngleStats::FinishLevel(int level) {
  const std::lock_guard<std::mutex> lock(mutex_);
  levels_.push_back(level_.Result(level));
  level_ = BwAngleTally();
  return levels_.back();
}

void BwAngleStats::DropLevel() {
  const std::lock_guard<std::mutex> lock(mutex_);
  level_ = BwAngleTally();
}
