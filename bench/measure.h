// Paired timing of operations done through the library and done with the bare
// Windows calls, interleaved so that the noise of a shared machine falls on all
// sides alike.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace bench {

// Seconds on the performance counter.
double now();

double median(std::vector<double> values);

// One side of a contest: the work of one operation, timed.
struct Lane {
  // Runs `count` operations back to back.
  std::function<void(int count)> run;
  // Untimed, before each timed operation, for operations that use up what they
  // work on. A lane with a prepare step times one operation at a time.
  std::function<void()> prepare;
  // With a prepare step: how many prepared operations one sample adds up. Sizes
  // compared per item get samples of equal work this way, and so the same
  // exposure to the slow spells of a busy machine.
  int pieces = 1;
};

struct Contest {
  std::vector<Lane> lanes;
  // Untimed, after every sample (checks, releasing what a sample made).
  std::function<void()> settle;
  int rounds = 9;
  // Lanes without a prepare step batch operations until one batch of the first
  // lane takes this long (seconds): short samples, many of them.
  double minBatchSeconds = 0.002;
  int maxBatch = 1 << 20;
};

// Seconds per operation of each lane's samples, in the order taken.
struct Samples {
  std::vector<std::vector<double>> lanes;
  int batch = 1;
};

// Warms every lane up, picks the batch size on the first lane, then takes one
// sample of every lane per round, the lane that goes first rotating.
Samples runContest(const Contest& contest);

}  // namespace bench
