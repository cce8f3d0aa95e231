#include "measure.h"

#include <windows.h>

#include <algorithm>

namespace bench {

double now() {
  static const double period = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1.0 / static_cast<double>(frequency.QuadPart);
  }();
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  return static_cast<double>(count.QuadPart) * period;
}

double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

namespace {

// Seconds per operation of one sample: `batch` operations in one go, or with a
// prepare step the sum of `pieces` operations, each prepared beforehand.
double sample(const Contest& contest, const Lane& lane, int batch) {
  int operations = lane.prepare ? lane.pieces : batch;
  double elapsed = 0;
  for (int piece = 0; piece < (lane.prepare ? lane.pieces : 1); ++piece) {
    if (lane.prepare) {
      lane.prepare();
    }
    double start = now();
    lane.run(lane.prepare ? 1 : batch);
    elapsed += now() - start;
  }
  if (contest.settle) {
    contest.settle();
  }
  return elapsed / operations;
}

}  // namespace

Samples runContest(const Contest& contest) {
  Samples samples;
  samples.lanes.resize(contest.lanes.size());
  // A first run of each lane pays for page faults and lazy binding.
  for (const Lane& lane : contest.lanes) {
    sample(contest, lane, 1);
  }
  const Lane& first = contest.lanes.front();
  if (!first.prepare) {
    while (samples.batch < contest.maxBatch &&
           sample(contest, first, samples.batch) * samples.batch < contest.minBatchSeconds) {
      samples.batch *= 2;
    }
  }
  size_t count = contest.lanes.size();
  for (int round = 0; round < contest.rounds; ++round) {
    for (size_t turn = 0; turn < count; ++turn) {
      size_t lane = (static_cast<size_t>(round) + turn) % count;
      samples.lanes[lane].push_back(sample(contest, contest.lanes[lane], samples.batch));
    }
  }
  return samples;
}

}  // namespace bench
