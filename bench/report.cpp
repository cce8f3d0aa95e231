#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace bench {
namespace {

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string duration(double seconds) {
  if (seconds < 1e-6) {
    return format("%.0f ns", seconds * 1e9);
  }
  if (seconds < 1e-3) {
    return format("%.2f us", seconds * 1e6);
  }
  if (seconds < 1) {
    return format("%.2f ms", seconds * 1e3);
  }
  return format("%.2f s", seconds);
}

std::string count(double value) {
  return value < 0 ? "-" : format(value == std::floor(value) ? "%.0f" : "%.2f", value);
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  double at = p * static_cast<double>(values.size() - 1);
  size_t low = static_cast<size_t>(at);
  size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

// Quartile spread relative to the median.
double spread(const std::vector<double>& values) {
  double middle = median(values);
  return middle > 0 ? (percentile(values, 0.75) - percentile(values, 0.25)) / middle : 0;
}

std::string jsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::string jsonNumber(double value) { return value < 0 ? "null" : format("%.6g", value); }

// Operations of a group at two sizes, small first.
std::map<std::string, std::vector<const Result*>> groups(const std::vector<Result>& results) {
  std::map<std::string, std::vector<const Result*>> out;
  for (const Result& r : results) {
    if (!r.operation->group.empty() && r.error.empty()) {
      out[r.operation->group].push_back(&r);
    }
  }
  return out;
}

constexpr double kGrowthTarget = 1.3;

}  // namespace

bool Result::met() const {
  const Target& target = operation->target;
  return error.empty() && (target.ratio == 0 || pairedRatio <= target.ratio) &&
         (target.allocations < 0 || allocations <= target.allocations) &&
         (target.jniCalls < 0 || jniCalls <= target.jniCalls);
}

void summarise(Result& result) {
  result.bridge = median(result.samples.bridge);
  result.baseline = median(result.samples.baseline);
  result.ratio = result.baseline > 0 ? result.bridge / result.baseline : 0;
  std::vector<double> ratios;
  for (size_t i = 0; i < result.samples.bridge.size() && i < result.samples.baseline.size(); ++i) {
    ratios.push_back(result.samples.bridge[i] / result.samples.baseline[i]);
  }
  result.pairedRatio = median(ratios);
}

void printTable(const std::vector<Result>& results, const std::string& notes) {
  std::printf("%-38s %11s %11s %6s %7s %6s %7s %9s %5s\n", "Operation (bridge vs baseline)", "Bridge", "Baseline",
              "Ratio", "Med/Med", "Target", "JNI/op", "Allocs/op", "Met");
  for (const Result& r : results) {
    const Operation& op = *r.operation;
    if (!r.error.empty()) {
      std::printf("%-38s  not measured: %s\n", op.name.c_str(), r.error.c_str());
      continue;
    }
    bool informational = op.target.ratio == 0;
    std::printf("%-38s %11s %11s %6.3f %7.3f %6s %7s %9s %5s\n", op.name.c_str(), duration(r.bridge).c_str(),
                duration(r.baseline).c_str(), r.pairedRatio, r.ratio,
                informational ? "-" : format("%.2f", op.target.ratio).c_str(), count(r.jniCalls).c_str(),
                count(r.allocations).c_str(),
                informational ? "-"
                : r.met()     ? "yes"
                              : "NO");
  }
  std::printf(
      "\nPer item (median time per item; growth = median over the rounds of the time per item at the large size / at "
      "the small, target <= %.1f)\n",
      kGrowthTarget);
  for (const auto& [group, members] : groups(results)) {
    if (members.size() != 2) {
      continue;
    }
    const Result& small = *members[0];
    const Result& large = *members[1];
    for (bool bridge : {true, false}) {
      double perSmall = (bridge ? small.bridge : small.baseline) / static_cast<double>(small.operation->items);
      double perLarge = (bridge ? large.bridge : large.baseline) / static_cast<double>(large.operation->items);
      // The sizes are sampled in the same rounds: growth is judged round by round, as the ratios are.
      const std::vector<double>& smallSamples = bridge ? small.samples.bridge : small.samples.baseline;
      const std::vector<double>& largeSamples = bridge ? large.samples.bridge : large.samples.baseline;
      std::vector<double> growths;
      for (size_t i = 0; i < smallSamples.size() && i < largeSamples.size(); ++i) {
        growths.push_back(largeSamples[i] / smallSamples[i] * static_cast<double>(small.operation->items) /
                          static_cast<double>(large.operation->items));
      }
      double growth = median(growths);
      std::printf("  %-20s %-9s %6ld: %10s  %6ld: %10s  growth %5.2f  %s\n", group.c_str(),
                  bridge ? "bridge" : "baseline", small.operation->items, duration(perSmall).c_str(),
                  large.operation->items, duration(perLarge).c_str(), growth,
                  bridge ? (growth <= kGrowthTarget ? "met" : "NOT MET") : "");
    }
  }
  if (!notes.empty()) {
    std::printf("\n%s\n", notes.c_str());
  }
  for (const Result& r : results) {
    for (const std::string& v : r.violations) {
      std::printf("accounting pass, %s: %s\n", r.operation->name.c_str(), v.c_str());
    }
  }
}

bool writeCsv(const std::vector<Result>& results, const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  std::fprintf(file,
               "operation,baseline,items,batch,samples,bridge_median_s,baseline_median_s,ratio,paired_ratio,"
               "bridge_spread,baseline_spread,target_ratio,jni_calls_per_op,allocations_per_op,met,error\n");
  // An operation without a target has an empty target_ratio and met.
  for (const Result& r : results) {
    const Operation& op = *r.operation;
    bool informational = op.target.ratio == 0;
    std::fprintf(file, "\"%s\",\"%s\",%ld,%d,%zu,%.9g,%.9g,%.4f,%.4f,%.4f,%.4f,%s,%s,%s,%s,\"%s\"\n", op.name.c_str(),
                 op.baselineName.c_str(), op.items, r.samples.batch, r.samples.bridge.size(), r.bridge, r.baseline,
                 r.ratio, r.pairedRatio, spread(r.samples.bridge), spread(r.samples.baseline),
                 informational ? "" : format("%.2f", op.target.ratio).c_str(),
                 r.jniCalls < 0 ? "" : count(r.jniCalls).c_str(), r.allocations < 0 ? "" : count(r.allocations).c_str(),
                 informational ? ""
                 : r.met()     ? "yes"
                               : "no",
                 r.error.c_str());
  }
  return std::fclose(file) == 0;
}

bool writeJson(const std::vector<Result>& results, const std::string& notes, const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  std::fprintf(file, "{\n  \"notes\": %s,\n  \"operations\": [\n", jsonText(notes).c_str());
  for (size_t i = 0; i < results.size(); ++i) {
    const Result& r = results[i];
    const Operation& op = *r.operation;
    std::string samples[2];
    for (int side = 0; side < 2; ++side) {
      for (double s : side == 0 ? r.samples.bridge : r.samples.baseline) {
        samples[side] += (samples[side].empty() ? "" : ", ") + format("%.9g", s);
      }
    }
    std::fprintf(
        file,
        "    {\"operation\": %s, \"baseline\": %s, \"items\": %ld, \"group\": %s, \"batch\": %d,\n"
        "     \"bridge_median_s\": %.9g, \"baseline_median_s\": %.9g, \"ratio\": %.4f, \"paired_ratio\": %.4f,\n"
        "     \"target_ratio\": %s, \"jni_calls_per_op\": %s, \"allocations_per_op\": %s, \"met\": %s,\n"
        "     \"error\": %s, \"bridge_samples_s\": [%s], \"baseline_samples_s\": [%s]}%s\n",
        jsonText(op.name).c_str(), jsonText(op.baselineName).c_str(), op.items, jsonText(op.group).c_str(),
        r.samples.batch, r.bridge, r.baseline, r.ratio, r.pairedRatio,
        op.target.ratio == 0 ? "null" : format("%.2f", op.target.ratio).c_str(), jsonNumber(r.jniCalls).c_str(),
        jsonNumber(r.allocations).c_str(),
        op.target.ratio == 0 ? "null"
        : r.met()            ? "true"
                             : "false",
        jsonText(r.error).c_str(), samples[0].c_str(), samples[1].c_str(), i + 1 < results.size() ? "," : "");
  }
  std::fprintf(file, "  ]\n}\n");
  return std::fclose(file) == 0;
}

}  // namespace bench
