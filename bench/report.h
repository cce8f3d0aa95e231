// The results: a plain table on standard output, and CSV and JSON copies.
#pragma once

#include <string>
#include <vector>

#include "measure.h"
#include "operation.h"

namespace bench {

// Seconds per operation of each sample, bridge and baseline taken in the same rounds.
struct Timings {
  std::vector<double> bridge;
  std::vector<double> baseline;
  int batch = 1;  // operations per sample, or with a prepare step prepared operations per sample
};

struct Result {
  const Operation* operation = nullptr;
  std::string error;  // empty when measured
  Timings samples;
  double bridge = 0;  // median seconds per operation
  double baseline = 0;
  double ratio = 0;         // of the medians
  double pairedRatio = 0;   // median of the ratios of the samples of one round; judged against the target
  double allocations = -1;  // per operation, from the accounting pass; -1: not counted
  double jniCalls = -1;
  std::vector<std::string> violations;  // found by the checking host in that pass

  bool met() const;
};

void summarise(Result& result);
void printTable(const std::vector<Result>& results, const std::string& notes);
bool writeCsv(const std::vector<Result>& results, const std::string& path);
bool writeJson(const std::vector<Result>& results, const std::string& notes, const std::string& path);

}  // namespace bench
