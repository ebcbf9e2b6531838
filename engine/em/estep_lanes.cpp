// The forward-backward recursions of four patterns at once, one pattern a lane of a vector.
//
// Every step of the recursions is the same arithmetic for every pattern, so a vector of four
// patterns does four patterns' work per instruction whatever the number of statuses, and the
// four chains of additions run side by side where one pattern's would wait on each other. Each
// lane keeps its own binary exponents; the rare lane that must be rescaled is taken alone.
// The transition counts are added without TAU (origin times the destination's emission and
// backward message) and multiplied by TAU once per block.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "estep.h"
#include "scaling.h"

namespace kov::em {

// The vector helpers below are always inlined into functions compiled for one instruction
// set, so the calling convention of a 32-byte vector that GCC warns about never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

using Lanes = double __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 4;

constexpr std::size_t Index(std::int32_t n) { return static_cast<std::size_t>(n); }

[[gnu::always_inline]] inline Lanes At(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline void Put(double* p, const Lanes& v) { std::memcpy(p, &v, sizeof v); }

template <int kStatuses>
[[gnu::always_inline]] inline std::size_t StatusCount(std::int32_t statuses) {
  return kStatuses > 0 ? static_cast<std::size_t>(kStatuses) : Index(statuses);
}

// k[l] x 2^exponent[l] for each lane.
[[gnu::always_inline]] inline Lanes Scales(const double* k, const int* exponent) {
  return Lanes{TimesPowerOfTwo(k[0], exponent[0]), TimesPowerOfTwo(k[1], exponent[1]),
               TimesPowerOfTwo(k[2], exponent[2]), TimesPowerOfTwo(k[3], exponent[3])};
}

// Brings every lane of n values whose largest falls below the rescaling bound back above it,
// taking the steps off that lane's exponent.
[[gnu::always_inline]] inline void KeepLanesAbove(double* values, std::size_t n, int* exponent) {
  Lanes largest = At(values);
  for (std::size_t x = 1; x < n; ++x) {
    const Lanes v = At(values + x * kLanes);
    largest = largest > v ? largest : v;
  }
  if (!(largest[0] < kRescaleBelow || largest[1] < kRescaleBelow ||
        largest[2] < kRescaleBelow || largest[3] < kRescaleBelow)) {
    return;
  }
  for (std::size_t l = 0; l < kLanes; ++l) {
    double top = largest[l];
    while (top > 0.0 && top < kRescaleBelow) {
      for (std::size_t x = 0; x < n; ++x) values[x * kLanes + l] *= kRescaleUp;
      top *= kRescaleUp;
      exponent[l] -= kRescaleStep;
    }
  }
}

}  // namespace

void EStep::PrepareLanes(Work* work) const {
  const std::size_t c = Index(m_classes);
  const std::size_t t = Index(m_occasions);
  const std::size_t s = Index(m_statuses);
  const std::size_t states = Index(m_stateStride);
  work->laneAlpha.assign(c * t * states * kLanes, 0.0);
  work->laneAlphaExponent.assign(c * t * kLanes, 0);
  work->laneEmission.assign(c * t * s * kLanes, 1.0);
  work->laneEmissionExponent.assign(c * t * kLanes, 0);
  work->laneFactor.assign(c * kLanes, 0.0);
  work->laneFactorExponent.assign(c * kLanes, 0);
  work->laneClass.assign(c * kLanes, 0.0);
  work->laneStates.assign(5 * states * kLanes, 0.0);
  work->laneTauCount.assign(m_tau.size() * kLanes, 0.0);
  work->laneRows.assign(Index(m_itemOccasions) * kLanes, nullptr);
  work->laneRowExponent.assign(Index(m_itemOccasions) * kLanes, 0);
  work->laneTermExponent.assign(c * kLanes, 0);
  work->laneK.assign(c * kLanes, 0.0);
  work->laneKExponent.assign(c * kLanes, 0);
}

// The block's transition counts: the lanes' sums of origin x emission x backward message,
// times TAU (the first transition of a second-order process was counted whole), into the
// accumulators' layout.
void EStep::FoldLaneTransitions(Work* work) const {
  const std::size_t s = Index(m_statuses);
  const std::size_t rows = Index(m_rows);
  for (std::size_t c = 0; c < Index(m_classes); ++c) {
    for (std::size_t row = 0; row < rows; ++row) {
      for (std::size_t j = 0; j < s; ++j) {
        const std::size_t at = (c * rows + row) * s + j;
        double* lanes = work->laneTauCount.data() + at * kLanes;
        const double sum = ((lanes[0] + lanes[1]) + lanes[2]) + lanes[3];
        std::fill_n(lanes, kLanes, 0.0);
        const bool whole = m_secondOrder && row < s;
        work->tauCount[c * rows * s + ForwardIndex(static_cast<std::int32_t>(row),
                                                   static_cast<std::int32_t>(j))] +=
            whole ? sum : m_tau[at] * sum;
      }
    }
  }
}

// Gathers the emissions of class c for the four lanes: rows[(t, l)] is lane l's row at
// occasion t (S values, scaled by 2^exponents[(t, l)]).
template <int kStatuses>
[[gnu::always_inline]] inline void EStep::GatherEmissions(std::int32_t c,
                                                          const double* const* rows,
                                                          const int* exponents,
                                                          Work& work) const {
  const std::size_t s = StatusCount<kStatuses>(m_statuses);
  const std::size_t ct = Index(c) * Index(m_occasions);
  double* e = work.laneEmission.data() + ct * s * kLanes;
  int* exponent = work.laneEmissionExponent.data() + ct * kLanes;
  for (std::size_t t = 0; t < Index(m_itemOccasions); ++t) {
    const double* const* row = rows + t * kLanes;
    for (std::size_t x = 0; x < s; ++x) {
      Put(e + (t * s + x) * kLanes, Lanes{row[0][x], row[1][x], row[2][x], row[3][x]});
    }
    std::copy_n(exponents + t * kLanes, kLanes, exponent + t * kLanes);
  }
}

// The forward recursion of class c in the four lanes, from the class factors and emissions in
// work; the lanes' class terms (each times 2^(factor exponent + last alpha exponent)) go to
// work.laneClass.
template <int kStatuses>
[[gnu::always_inline]] inline void EStep::ForwardLanes(std::int32_t c, Work& work) const {
  const std::size_t s = StatusCount<kStatuses>(m_statuses);
  const std::size_t states = m_secondOrder ? s * s : s;
  const std::size_t occasions = Index(m_occasions);
  const std::size_t ct = Index(c) * occasions;
  const double* e = work.laneEmission.data() + ct * s * kLanes;
  const int* eExponent = work.laneEmissionExponent.data() + ct * kLanes;
  double* alpha = work.laneAlpha.data() + ct * states * kLanes;
  int* aExponent = work.laneAlphaExponent.data() + ct * kLanes;
  const double* delta = m_delta.data() + Index(c) * s;
  const double* tau = m_tau.data() + Index(c) * Index(m_rows) * s;

  for (std::size_t x = 0; x < s; ++x) {
    Put(alpha + x * kLanes, delta[x] * At(e + x * kLanes));
  }
  std::copy_n(eExponent, kLanes, aExponent);
  KeepLanesAbove(alpha, s, aExponent);
  std::size_t t = 1;
  if (m_secondOrder && occasions > 1) {
    // Occasion 2 over pairs (s1, s2): the first transition uses row s1.
    double* pair = alpha + states * kLanes;
    for (std::size_t a = 0; a < s; ++a) {
      for (std::size_t b = 0; b < s; ++b) {
        Put(pair + (a * s + b) * kLanes,
            At(alpha + a * kLanes) * tau[a * s + b] * At(e + (s + b) * kLanes));
      }
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
      aExponent[kLanes + l] = aExponent[l] + eExponent[kLanes + l];
    }
    KeepLanesAbove(pair, states, aExponent + kLanes);
    t = 2;
  }
  for (; t < occasions; ++t) {
    const double* previous = alpha + (t - 1) * states * kLanes;
    double* current = alpha + t * states * kLanes;
    const double* et = e + t * s * kLanes;
    if (m_secondOrder) {
      // From the pair (a, b) at t-1, t to (b, d) at t, t+1, by row S + (t-2) S^2 + aS + b.
      const double* block = tau + (s + (t - 2) * states) * s;
      for (std::size_t b = 0; b < s; ++b) {
        for (std::size_t d = 0; d < s; ++d) {
          Lanes sum = At(previous + b * kLanes) * block[b * s + d];
          for (std::size_t a = 1; a < s; ++a) {
            sum += At(previous + (a * s + b) * kLanes) * block[(a * s + b) * s + d];
          }
          Put(current + (b * s + d) * kLanes, sum * At(et + d * kLanes));
        }
      }
    } else {
      const double* block = tau + (t - 1) * s * s;
      for (std::size_t d = 0; d < s; ++d) {
        Lanes sum = At(previous) * block[d];
        for (std::size_t a = 1; a < s; ++a) sum += At(previous + a * kLanes) * block[a * s + d];
        Put(current + d * kLanes, sum * At(et + d * kLanes));
      }
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
      aExponent[t * kLanes + l] = aExponent[(t - 1) * kLanes + l] + eExponent[t * kLanes + l];
    }
    KeepLanesAbove(current, states, aExponent + t * kLanes);
  }
  const std::size_t lastStates = occasions == 1 ? s : states;
  const double* last = alpha + (occasions - 1) * states * kLanes;
  Lanes sum = {0.0, 0.0, 0.0, 0.0};
  for (std::size_t x = 0; x < lastStates; ++x) sum += At(last + x * kLanes);
  Put(work.laneClass.data() + Index(c) * kLanes,
      At(work.laneFactor.data() + Index(c) * kLanes) * sum);
}

// The backward recursion of class c in the four lanes after ForwardLanes, adding weight[l]
// times lane l's posterior counts (k[l] = weight[l] x its class factor, 0 for a lane that adds
// nothing).
template <int kStatuses>
[[gnu::always_inline]] inline void EStep::BackwardLanes(std::int32_t c, const double* k,
                                                        const int* kExponent,
                                                        const std::int32_t* const* locals,
                                                        const std::int32_t* const* responses,
                                                        Work& work) const {
  const std::size_t s = StatusCount<kStatuses>(m_statuses);
  const std::size_t states = m_secondOrder ? s * s : s;
  const std::size_t occasions = Index(m_occasions);
  const std::size_t classes = Index(m_classes);
  const std::size_t ct = Index(c) * occasions;
  const double* e = work.laneEmission.data() + ct * s * kLanes;
  const int* eExponent = work.laneEmissionExponent.data() + ct * kLanes;
  const double* alpha = work.laneAlpha.data() + ct * states * kLanes;
  const int* aExponent = work.laneAlphaExponent.data() + ct * kLanes;
  const double* tau = m_tau.data() + Index(c) * Index(m_rows) * s;
  double* tauCount = work.laneTauCount.data() + Index(c) * Index(m_rows) * s * kLanes;
  double* beta = work.laneStates.data();
  double* next = beta + states * kLanes;
  double* scaled = next + states * kLanes;
  double* posterior = scaled + states * kLanes;
  double* pair = posterior + states * kLanes;

  // Lane l's posterior of each status at occasion t into its code's sums (or the margins of an
  // occasion without items).
  auto addPosterior = [&](std::size_t t, const double* p) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      if (k[l] == 0.0) continue;
      double* sum =
          t < Index(m_itemOccasions)
              ? work.codePosterior + (Index(locals[l][t]) * classes + Index(c)) * s
              : work.marginCount.data() + (ct + t) * s;
      for (std::size_t x = 0; x < s; ++x) sum[x] += p[x * kLanes + l];
    }
  };
  auto addClass = [&](const double* p) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      if (k[l] == 0.0) continue;
      double classPosterior = 0.0;
      for (std::size_t x = 0; x < s; ++x) classPosterior += p[x * kLanes + l];
      work.classCount[Index(c)] += classPosterior;
      AccumulateClassItems(responses[l], c, classPosterior, work);
    }
  };

  int betaExponent[kLanes] = {0, 0, 0, 0};
  int exponents[kLanes];
  const Lanes one = {1.0, 1.0, 1.0, 1.0};
  for (std::size_t x = 0; x < states; ++x) Put(beta + x * kLanes, one);
  for (std::size_t t = occasions - 1;; --t) {
    const bool pairs = m_secondOrder && t >= 1;
    const std::size_t n = pairs ? states : s;
    for (std::size_t l = 0; l < kLanes; ++l) {
      exponents[l] = kExponent[l] + aExponent[t * kLanes + l] + betaExponent[l];
    }
    const Lanes kt = Scales(k, exponents);
    const double* current = alpha + t * states * kLanes;
    double* own = pairs ? pair : posterior;
    for (std::size_t x = 0; x < n; ++x) {
      Put(own + x * kLanes, kt * At(current + x * kLanes) * At(beta + x * kLanes));
    }
    if (pairs) {
      // The status at t is the second of the pair.
      for (std::size_t b = 0; b < s; ++b) {
        Lanes sum = At(pair + b * kLanes);
        for (std::size_t a = 1; a < s; ++a) sum += At(pair + (a * s + b) * kLanes);
        Put(posterior + b * kLanes, sum);
      }
    }
    addPosterior(t, posterior);
    if (t == 0) {
      addClass(posterior);
      break;
    }
    if (pairs && t == 1) {
      // The first transition: the posterior of the pair (s1, s2) is its count, and the
      // status at occasion 1 is the first of the pair.
      for (std::size_t a = 0; a < s; ++a) {
        Lanes sum = At(pair + a * s * kLanes);
        for (std::size_t b = 0; b < s; ++b) {
          const Lanes v = At(pair + (a * s + b) * kLanes);
          Put(tauCount + (a * s + b) * kLanes, At(tauCount + (a * s + b) * kLanes) + v);
          if (b > 0) sum += v;
        }
        Put(posterior + a * kLanes, sum);
      }
      addPosterior(0, posterior);
      addClass(posterior);
      break;
    }
    const double* et = e + t * s * kLanes;
    for (std::size_t l = 0; l < kLanes; ++l) {
      betaExponent[l] += eExponent[t * kLanes + l];
      exponents[l] = kExponent[l] + aExponent[(t - 1) * kLanes + l] + betaExponent[l];
    }
    const Lanes kStep = Scales(k, exponents);
    const double* previous = alpha + (t - 1) * states * kLanes;
    if (m_secondOrder) {
      // Pairs (a, b) at t-2, t-1 move to d by row S + (t-2) S^2 + aS + b.
      for (std::size_t b = 0; b < s; ++b) {
        for (std::size_t d = 0; d < s; ++d) {
          Put(scaled + (b * s + d) * kLanes,
              At(et + d * kLanes) * At(beta + (b * s + d) * kLanes));
        }
      }
      const std::size_t first = s + (t - 2) * states;
      for (std::size_t a = 0; a < s; ++a) {
        for (std::size_t b = 0; b < s; ++b) {
          const std::size_t row = first + a * s + b;
          const Lanes from = kStep * At(previous + (a * s + b) * kLanes);
          Lanes sum = At(scaled + b * s * kLanes) * tau[row * s];
          for (std::size_t d = 0; d < s; ++d) {
            const Lanes g = At(scaled + (b * s + d) * kLanes);
            if (d > 0) sum += g * tau[row * s + d];
            double* count = tauCount + (row * s + d) * kLanes;
            Put(count, At(count) + from * g);
          }
          Put(next + (a * s + b) * kLanes, sum);
        }
      }
    } else {
      for (std::size_t d = 0; d < s; ++d) {
        Put(scaled + d * kLanes, At(et + d * kLanes) * At(beta + d * kLanes));
      }
      const std::size_t first = (t - 1) * s;
      for (std::size_t a = 0; a < s; ++a) {
        const double* row = tau + (first + a) * s;
        const Lanes from = kStep * At(previous + a * kLanes);
        double* count = tauCount + (first + a) * s * kLanes;
        Lanes sum = At(scaled) * row[0];
        Put(count, At(count) + from * At(scaled));
        for (std::size_t d = 1; d < s; ++d) {
          const Lanes g = At(scaled + d * kLanes);
          sum += g * row[d];
          Put(count + d * kLanes, At(count + d * kLanes) + from * g);
        }
        Put(next + a * kLanes, sum);
      }
    }
    std::swap(beta, next);
    KeepLanesAbove(beta, m_secondOrder ? states : s, betaExponent);
  }
}

template <int kStatuses>
[[gnu::always_inline]] inline EStep::BlockSums EStep::RunLanes(const BlockTask& task,
                                                               Work* work) const {
  BlockSums sums;
  const std::size_t classes = Index(m_classes);
  const std::size_t occasions = Index(m_itemOccasions);
  const std::size_t kc1 = Index(m_classCategories + 1);
  const bool wantLogs = task.logProbabilities != nullptr;
  const double** emissionRows = work->laneRows.data();
  int* termExponent = work->laneTermExponent.data();
  double* k = work->laneK.data();
  int* kExponent = work->laneKExponent.data();
  for (std::size_t q0 = task.begin; q0 < task.end; q0 += kLanes) {
    // The last group repeats its last pattern in the lanes it lacks, with no weight.
    std::size_t q[kLanes];
    const std::int32_t* responses[kLanes];
    const std::int32_t* locals[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
      q[l] = std::min(q0 + l, task.end - 1);
      responses[l] = task.patterns->Pattern(static_cast<std::int32_t>(q[l]));
      locals[l] = m_codes->local.data() + q[l] * occasions;
    }
    const std::size_t filled = std::min(kLanes, task.end - q0);

    // Each class's factor and forward recursion; the terms of a lane are then brought to the
    // largest class exponent of that lane, as for a single pattern.
    double* term = work->laneClass.data();
    for (std::size_t c = 0; c < classes; ++c) {
      const double* classRho = m_classRho.data() + c * Index(m_classItems) * kc1;
      for (std::size_t l = 0; l < kLanes; ++l) {
        int exponent = 0;
        const std::int32_t* y = responses[l];
        work->laneFactor[c * kLanes + l] = ScaledProduct(
            m_gamma[c], m_classItems,
            [classRho, y, kc1](int j) { return classRho[Index(j) * kc1 + Index(y[j])]; },
            &exponent);
        work->laneFactorExponent[c * kLanes + l] = exponent;
      }
      for (std::size_t t = 0; t < occasions; ++t) {
        for (std::size_t l = 0; l < kLanes; ++l) {
          const std::size_t at =
              Index(m_codes->code[q[l] * occasions + t]) * classes + c;
          emissionRows[t * kLanes + l] = m_codeEmission.data() + at * Index(m_statuses);
          work->laneRowExponent[t * kLanes + l] = m_codeExponent[at];
        }
      }
      GatherEmissions<kStatuses>(static_cast<std::int32_t>(c), emissionRows,
                                 work->laneRowExponent.data(), *work);
      ForwardLanes<kStatuses>(static_cast<std::int32_t>(c), *work);
      for (std::size_t l = 0; l < kLanes; ++l) {
        termExponent[c * kLanes + l] =
            work->laneFactorExponent[c * kLanes + l] +
            work->laneAlphaExponent[(c * Index(m_occasions) + Index(m_occasions) - 1) * kLanes + l];
      }
    }
    bool anyWeight = false;
    for (std::size_t l = 0; l < filled; ++l) {
      int common = 0;
      bool any = false;
      for (std::size_t c = 0; c < classes; ++c) {
        if (!(term[c * kLanes + l] > 0.0)) continue;
        if (!any || termExponent[c * kLanes + l] > common) common = termExponent[c * kLanes + l];
        any = true;
      }
      double scaled = 0.0;
      for (std::size_t c = 0; c < classes; ++c) {
        double& value = term[c * kLanes + l];
        const int exponent = termExponent[c * kLanes + l];
        if (value > 0.0 && exponent != common) value = TimesPowerOfTwo(value, exponent - common);
        scaled += value;
      }
      const std::size_t at = q[l];
      const double frequency = task.patterns->frequencies[at];
      sums.frequency += frequency;
      if (task.probabilities != nullptr) task.probabilities[at] = TimesPowerOfTwo(scaled, common);
      if (wantLogs) {
        const double logProbability = scaled > 0.0 ? LogOfScaled(scaled, common)
                                                   : -std::numeric_limits<double>::infinity();
        task.logProbabilities[at] = logProbability;
        if (scaled > 0.0 && frequency > 0.0) sums.logLikelihood += frequency * logProbability;
      }
      // A pattern the model cannot produce (or one with no subjects) has no posterior.
      double weight = frequency / scaled;
      if (!(scaled > 0.0) || !(frequency > 0.0) || !std::isfinite(weight)) weight = 0.0;
      for (std::size_t c = 0; c < classes; ++c) {
        const bool adds = weight != 0.0 && term[c * kLanes + l] != 0.0;
        k[c * kLanes + l] = adds ? weight * work->laneFactor[c * kLanes + l] : 0.0;
        kExponent[c * kLanes + l] = work->laneFactorExponent[c * kLanes + l] - common;
        anyWeight = anyWeight || adds;
      }
    }
    for (std::size_t l = filled; l < kLanes; ++l) {
      for (std::size_t c = 0; c < classes; ++c) {
        k[c * kLanes + l] = 0.0;
        kExponent[c * kLanes + l] = 0;
      }
    }
    if (!task.accumulate || !anyWeight) continue;
    for (std::size_t c = 0; c < classes; ++c) {
      const double* kc = k + c * kLanes;
      if (kc[0] == 0.0 && kc[1] == 0.0 && kc[2] == 0.0 && kc[3] == 0.0) continue;
      BackwardLanes<kStatuses>(static_cast<std::int32_t>(c), kc, kExponent + c * kLanes, locals,
                               responses, *work);
    }
  }
  return sums;
}

template <int kStatuses>
__attribute__((target("avx2"))) EStep::BlockSums EStep::RunLanesWide(const BlockTask& task,
                                                                      Work* work) const {
  return RunLanes<kStatuses>(task, work);
}

template <int kStatuses>
EStep::BlockSums EStep::RunLanesPlain(const BlockTask& task, Work* work) const {
  return RunLanes<kStatuses>(task, work);
}

EStep::BlockSums EStep::RunStatusBlock(const BlockTask& task, Work* work) const {
  static const bool wide = __builtin_cpu_supports("avx2");
  BlockSums sums;
  auto lanes = [&]<int kStatuses>() {
    return wide ? RunLanesWide<kStatuses>(task, work) : RunLanesPlain<kStatuses>(task, work);
  };
  switch (m_statuses) {
    case 2: sums = lanes.template operator()<2>(); break;
    case 3: sums = lanes.template operator()<3>(); break;
    case 4: sums = lanes.template operator()<4>(); break;
    case 5: sums = lanes.template operator()<5>(); break;
    case 6: sums = lanes.template operator()<6>(); break;
    default: sums = lanes.template operator()<0>(); break;
  }
  if (task.accumulate) FoldLaneTransitions(work);
  return sums;
}

}  // namespace kov::em
