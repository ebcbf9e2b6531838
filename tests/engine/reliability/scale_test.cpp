// Scale: a data file of a million records, and a model at the largest dimensions the engine
// estimates (five occasions, a second-order process), each loaded and run by EM within a stated
// bound on the process's peak resident memory, as the system accounts it for the process.
//
// The bound: 32 MB for the program, and per record twice what the record takes as read (4 bytes
// a response and 8 for the frequency: the table as read, and its copy sorted by missingness) and
// 32 bytes for the record's own numbers in the E-step (its order and its probability among
// them). Memory grows with the records, never with the complete contingency table (3^42 cells
// for the largest model). A million records of four items: 32 + 48 + 32 = 112 MB; such a run
// took 62 MB when this was written. Under AddressSanitizer or ThreadSanitizer the shadow memory
// and the allocator's quarantine make resident memory meaningless: the runs are made and checked,
// the bound is not.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "em/em_driver.h"
#include "input/control_file.h"
#include "input/model.h"
#include "job.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MARNEL_MEMORY_IS_SHADOWED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MARNEL_MEMORY_IS_SHADOWED 1
#endif
#endif

namespace kov::reliability {
namespace {

constexpr double kProgramBytes = 32.0 * (1 << 20);
constexpr double kEStepBytesPerRecord = 32.0;

// The kernel's peak resident size of this process (VmHWM) is put back to the current size at
// the start of each test, so that a test run after another in the same process measures its own
// peak. Where the system does not offer that, the peak of the whole process (getrusage) stands,
// which ctest's one process per test makes the test's own.
bool ResetPeakResidentBytes() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return clear.good();
}

double PeakResidentBytes(bool wasReset) {
  if (wasReset) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("VmHWM:")) return std::stod(line.substr(6)) * 1024.0;  // in kB
    }
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024.0;  // Linux counts kilobytes
}

void ExpectWithinBound(double records, int items, bool wasReset) {
  const double bound = kProgramBytes + records * (2.0 * (4.0 * items + 8.0) + kEStepBytesPerRecord);
  const double peak = PeakResidentBytes(wasReset);
  std::printf("peak resident memory %.1f MB, bound %.1f MB\n", peak / (1 << 20), bound / (1 << 20));
#ifndef MARNEL_MEMORY_IS_SHADOWED
  EXPECT_LE(peak, bound);
#endif
}

struct Shape {
  int classes, statuses, classItems, statusItems, occasions, order, categories;
  int maxIterations;
};

// Probabilities that differ from cell to cell, so that the classes and statuses start apart,
// written with 12 decimals: each vector sums to one within 1e-11.
std::string Vector(int n, int seed) {
  std::vector<double> weights(static_cast<std::size_t>(n));
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += weights[static_cast<std::size_t>(i)] = 1.0 + (i + seed) % 3;
  std::string text;
  char value[32];
  for (double weight : weights) {
    std::snprintf(value, sizeof value, " %.12f", weight / sum);
    text += value;
  }
  return text;
}

std::string Repeat(const std::string& value, int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += " " + value;
  return text + "\n";
}

// The control file of a model with every parameter free, in the layout the editor writes.
std::string ControlText(const Shape& s, const std::string& data, const test::TempDir& dir) {
  const int C = s.classes, S = s.statuses, K = s.categories;
  const int extra = s.occasions >= 3 ? (s.occasions - 2) * (s.order == 2 ? S * S : S) : 0;
  std::ostringstream f;
  f << "'* scale'\n"
    << C << ' ' << S << ' ' << s.classItems << ' ' << s.statusItems << ' ' << s.occasions << ' '
    << s.order << " 0 0 0\n"
    << Quoted(data) << " ''\n"
    << "1 1 " << s.maxIterations << " 0.0\n"
    << Quoted(dir.Path("em.out")) << "\n'..'\n" << Quoted(dir.Path("em.est")) << "\n"
    << "10 5 1 0\n'..'\n'..'\n'..'\n'..'\n";
  if (s.classItems > 0) f << Repeat(std::to_string(K), s.classItems);
  if (s.statusItems > 0) f << Repeat(std::to_string(K), s.statusItems);
  if (s.classItems > 0) f << Repeat("'C'", C);
  if (s.statusItems > 0) f << Repeat("'S'", S);
  for (int i = 0; i < s.classItems + s.statusItems; ++i) f << "'Item'" << Repeat("'k'", K);
  // Restriction codes: all free.
  if (s.classItems > 0) f << Repeat("1", C);
  if (s.statusItems > 0) {
    f << Repeat("1", C * S);
    for (int c = 0; c < C; ++c) {
      f << Repeat("1", S * S);
      if (extra > 0) f << Repeat("1", extra * S);
    }
  }
  if (s.classItems > 0) {
    for (int k = 0; k < K * C; ++k) f << Repeat("1", s.classItems);
  }
  if (s.statusItems > 0) {
    for (int n = 0; n < C * s.occasions * K * S; ++n) f << Repeat("1", s.statusItems);
  }
  // Start values: gamma, delta, the tau rows, little rho by category and class (one value per
  // item: the categories of an item sum to one across these lines), big rho of occasion 1.
  if (s.classItems > 0) f << Vector(C, 0) << "\n";
  if (s.statusItems > 0) {
    std::string delta;
    for (int c = 0; c < C; ++c) delta += Vector(S, c);
    f << delta << "\n";
    for (int c = 0; c < C; ++c) {
      std::string rows;
      for (int r = 0; r < S; ++r) rows += Vector(S, r + c);
      f << rows << "\n";
      if (extra > 0) {
        rows.clear();
        for (int r = 0; r < extra; ++r) rows += Vector(S, r + c + 1);
        f << rows << "\n";
      }
    }
  }
  // rho(k | item, latent) = weight(k) / sum: the k-th line of every (latent, item) vector.
  const auto rhoLines = [&](int latents, int items, int latentGroups) {
    for (int outer = 0; outer < latentGroups; ++outer) {
      for (int k = 0; k < K; ++k) {
        for (int latent = 0; latent < latents; ++latent) {
          std::string line;
          for (int i = 0; i < items; ++i) {
            const double weight = 1.0 + (k + i + latent + outer) % 3;
            double sum = 0.0;
            for (int j = 0; j < K; ++j) sum += 1.0 + (j + i + latent + outer) % 3;
            char value[32];
            std::snprintf(value, sizeof value, " %.12f", weight / sum);
            line += value;
          }
          f << line << "\n";
        }
      }
    }
  };
  if (s.classItems > 0) rhoLines(C, s.classItems, 1);
  if (s.statusItems > 0) rhoLines(S, s.statusItems, C);
  return f.str();
}

// Writes `records` records of N random categories (1 to K) and a frequency of 1 to 9, from a
// fixed seed, a block at a time. Returns the frequency-weighted share of every category of
// every class item, [item][category].
std::vector<std::vector<double>> WriteData(const std::string& path, long records, int items,
                                           int classItems, int categories) {
  std::vector<std::vector<double>> shares(static_cast<std::size_t>(classItems),
                                          std::vector<double>(static_cast<std::size_t>(categories)));
  std::FILE* file = std::fopen(path.c_str(), "wb");
  EXPECT_NE(file, nullptr);
  if (file == nullptr) return shares;
  std::mt19937 random(1234);
  std::uniform_int_distribution<int> category(1, categories), frequency(1, 9);
  std::vector<int> responses(static_cast<std::size_t>(items));
  double total = 0.0;
  std::string block;
  for (long r = 0; r < records; ++r) {
    for (int& response : responses) {
      response = category(random);
      block += static_cast<char>('0' + response);
      block += ' ';
    }
    const int n = frequency(random);
    block += static_cast<char>('0' + n);
    block += '\n';
    total += n;
    for (int i = 0; i < classItems; ++i) shares[i][responses[i] - 1] += n;
    if (block.size() > (1 << 20) || r + 1 == records) {
      EXPECT_EQ(std::fwrite(block.data(), 1, block.size(), file), block.size());
      block.clear();
    }
  }
  EXPECT_EQ(std::fclose(file), 0);
  for (auto& item : shares) {
    for (double& share : item) share /= total;
  }
  return shares;
}

// Every record was loaded and weighed by its frequency. After any EM iteration of a model with
// free gamma and little rho, sum over c of gamma(c) rho(k | i, c) equals the observed share of
// category k of class item i: the M-step sets gamma(c) = n(c) / N and rho(k | i, c) =
// n(c, i, k) / n(c) from expected counts whose sum over the classes is the observed count of
// (i, k). The saved estimates carry 16 decimals.
void ExpectObservedShares(const test::TempDir& dir, const Shape& shape,
                          const std::vector<std::vector<double>>& shares) {
  input::ModelDimensions dims;
  dims.classes = shape.classes;
  dims.statuses = std::max(shape.statuses, 1);
  dims.classItems = shape.classItems;
  dims.statusItems = shape.statusItems;
  dims.occasions = shape.occasions;
  dims.order = shape.order;
  dims.maxClassCategories = shape.categories;
  dims.maxStatusCategories = shape.statusItems > 0 ? shape.categories : 0;
  if (shape.occasions >= 3) {
    dims.extraTransitionRows = (shape.occasions - 2) *
                               (shape.order == 2 ? dims.statuses * dims.statuses : dims.statuses);
  }
  input::ParameterSet estimates;
  input::AllocateParameters(dims, &estimates);
  std::int32_t iteration = 0;
  const Status loaded =
      input::ReadStartValuesFile(dir.Path("em.est"), dims, &estimates, &iteration);
  ASSERT_TRUE(loaded.IsOk()) << loaded.Message();
  EXPECT_EQ(iteration, shape.maxIterations);
  const auto rho = input::LittleRhoShape(dims);
  for (int i = 0; i < shape.classItems; ++i) {
    for (int k = 0; k < shape.categories; ++k) {
      double fitted = 0.0;
      for (int c = 0; c < shape.classes; ++c) {
        fitted += estimates.gamma[static_cast<std::size_t>(c)] * estimates.littleRho[rho(k, i, c)];
      }
      EXPECT_NEAR(fitted, shares[i][k], 1e-9) << "item " << i + 1 << " category " << k + 1;
    }
  }
}

void RunAtScale(const Shape& shape, long records) {
  const bool wasReset = ResetPeakResidentBytes();
  test::TempDir dir;
  const int items = shape.classItems + shape.statusItems * shape.occasions;
  const std::string data = dir.Path("scale.dat");
  const auto shares = WriteData(data, records, items, shape.classItems, shape.categories);
  const std::string control = dir.Write("job.cnt", ControlText(shape, data, dir));
  run::ResetStatusForTesting();
  const std::string field = test::PathField(control);
  ASSERT_EQ(em::RunEmDriver(field.c_str(), 300), kRunCompleted) << LastError().message;
  ExpectWithinBound(static_cast<double>(records), items, wasReset);
  EXPECT_NE(test::ReadFile(dir.Path("em.out")).find(" PROGRAM FINISHED: "), std::string::npos);
  ExpectObservedShares(dir, shape, shares);
}

TEST(ScaleTest, AMillionRecordsLoadAndRunWithinTheirMemoryBound) {
  // Two latent classes measured by four yes/no items; three iterations.
  RunAtScale(Shape{2, 0, 4, 0, 0, 1, 2, 3}, 1'000'000);
}

TEST(ScaleTest, LargestModelLoadsAndRunsWithinItsMemoryBound) {
  // Five occasions (the most the estimation holds), a second-order process of six statuses
  // (114 transition rows per class), two classes, and 2 + 8 x 5 = 42 three-category items.
  RunAtScale(Shape{2, 6, 2, 8, 5, 2, 3, 2}, 5000);
}

}  // namespace
}  // namespace kov::reliability
