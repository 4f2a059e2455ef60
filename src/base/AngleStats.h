// The angle error of an encoded level: for every texel that is not empty, the angle between the
// normal a reader decodes and the float normal it was encoded from, tallied as a count, a sum, a
// largest value and a histogram, so that the mean, the 99th percentile and the largest angle
// come out the same however the texels were shared among threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

// The figures of one level, in degrees.
struct BwLevelStats {
  int level = 0;
  double mean = 0.0;
  double p99 = 0.0;  // the smallest angle that at least 99 % of the texels are within (0.001 degree steps)
  double max = 0.0;
  uint64_t texels = 0;  // the texels counted (the empty ones are not)
};

class BwAngleTally {
 public:
  // Adds the angles between `count` float normals and the normals decoded from their encoding,
  // three floats a texel each, `exactStride` and `decodedStride` floats apart. Texels whose float
  // normal is empty are left out; neither normal needs unit length.
  void Add(const float* exact, int exactStride, const float* decoded, int decodedStride, int64_t count);
  // The same for decoded normals of a two-component layout: x at xy[i], y at xy[planeGap + i],
  // and z rebuilt as a reader does, sqrt(max(0, 1 - x^2 - y^2)); the float normals are three
  // floats a texel.
  void AddTwoComponent(const float* exact, const float* xy, int64_t planeGap, int64_t count);
  void Merge(const BwAngleTally& other);
  BwLevelStats Result(int level) const;

 private:
  void AddUnits(const float* exact, int exactStride, const float* decoded, int decodedStride, int64_t planeGap,
                int64_t count);

  uint64_t count_ = 0;
  uint64_t sum_ = 0;              // in units of 1e-5 degree, each angle rounded to one
  uint32_t max_ = 0;              // the same units
  std::vector<uint64_t> bins_;    // texels a 0.001 degree, grown as far as needed, two counts a bin
};

// The tally of the level being encoded, which the threads encoding it add to, and the figures
// of the levels finished.
class BwAngleStats {
 public:
  void Merge(const BwAngleTally& tally);
  // Adds what `other` has tallied of its level.
  void MergeFrom(BwAngleStats& other);
  // The figures of the level tallied so far, kept, and a fresh tally for the next.
  BwLevelStats FinishLevel(int level);
  // Forgets the level tallied so far (it is being made again).
  void DropLevel();
  const std::vector<BwLevelStats>& Levels() const { return levels_; }

 private:
  std::mutex mutex_;
  BwAngleTally level_;
  std::vector<BwLevelStats> levels_;
};
