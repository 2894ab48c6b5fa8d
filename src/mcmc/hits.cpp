#include "mcmc/hits.h"

#include <cstdlib>
#include <cstring>

namespace vasq {

namespace {

// GCC's vector extension: two doubles fill an SSE2 register, four an AVX2 one.
using Lanes2 = double __attribute__((vector_size(16)));
using Lanes4 = double __attribute__((vector_size(32)));

// Helpers take vectors by reference: passing them by value would depend on the target's ABI.
template <typename V> [[gnu::always_inline]] inline void load(V& v, const double* from) {
  std::memcpy(&v, from, sizeof v);
}

template <typename V> [[gnu::always_inline]] inline void clear_sign(V& v) {
  decltype(v < v) bits;
  std::memcpy(&bits, &v, sizeof v);
  bits &= 0x7fffffffffffffffLL;
  std::memcpy(&v, &bits, sizeof v);
}

// Vectors of rows per block: enough independent sums to hide the latency of an addition,
// few enough to stay in registers.
constexpr int kBlockVectors = 8;

// Hits among the K vectors of rows that start at X and y.
template <typename V, int K>
[[gnu::always_inline]] inline std::ptrdiff_t block_hits(const double* X, std::ptrdiff_t m,
                                                        std::ptrdiff_t p, const double* beta,
                                                        const double* y, double eps) {
  constexpr int N = sizeof(V) / sizeof(double);
  V acc[K] = {};
  V x;
  for (std::ptrdiff_t j = 0; j < p; ++j) {
    const double b = beta[j];
    const double* column = X + j * m;
    for (int k = 0; k < K; ++k) {
      load(x, column + k * N);
      acc[k] = acc[k] + x * b;
    }
  }
  decltype(x < x) hits = {};
  for (int k = 0; k < K; ++k) {
    load(x, y + k * N);
    V residual = acc[k] - x;
    clear_sign(residual);
    hits -= eps > residual;
  }
  std::ptrdiff_t n = 0;
  for (int l = 0; l < N; ++l) n += hits[l];
  return n;
}

[[gnu::always_inline]] inline bool row_hit(const double* X, std::ptrdiff_t m, std::ptrdiff_t p,
                                           const double* beta, double y, double eps) {
  double acc = 0.0;
  for (std::ptrdiff_t j = 0; j < p; ++j) acc = acc + X[j * m] * beta[j];
  const double residual = acc - y;
  return eps > (residual < 0.0 ? -residual : residual);
}

template <typename V, int K>
[[gnu::always_inline]] inline std::ptrdiff_t hits_of_rows(const double* X, std::ptrdiff_t m,
                                                          std::ptrdiff_t p, const double* beta,
                                                          const double* y, double eps) {
  constexpr std::ptrdiff_t kRows = K * sizeof(V) / sizeof(double);
  std::ptrdiff_t hits = 0;
  std::ptrdiff_t i = 0;
  for (; i + kRows <= m; i += kRows) hits += block_hits<V, K>(X + i, m, p, beta, y + i, eps);
  for (; i < m; ++i) hits += row_hit(X + i, m, p, beta, y[i], eps);
  return hits;
}

// One source for both builds; AVX2 without FMA rounds every operation as the baseline does.
std::ptrdiff_t hits_baseline(const double* X, std::ptrdiff_t m, std::ptrdiff_t p,
                             const double* beta, const double* y, double eps) {
  return hits_of_rows<Lanes2, kBlockVectors>(X, m, p, beta, y, eps);
}

// The run-time choice exists only where the CPU check does: on other targets every call
// takes the baseline build.
#if defined(__x86_64__)
[[gnu::target("avx2")]] std::ptrdiff_t hits_avx2(const double* X, std::ptrdiff_t m,
                                                 std::ptrdiff_t p, const double* beta,
                                                 const double* y, double eps) {
  return hits_of_rows<Lanes4, kBlockVectors>(X, m, p, beta, y, eps);
}
#endif

using HitsKernel = std::ptrdiff_t (*)(const double*, std::ptrdiff_t, std::ptrdiff_t, const double*,
                                      const double*, double);

HitsKernel choose_kernel() {
  const char* forced = std::getenv("VASQ_KERNEL");
  if (forced != nullptr && std::strcmp(forced, "baseline") == 0) return hits_baseline;
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? hits_avx2 : hits_baseline;
#else
  return hits_baseline;
#endif
}

} // namespace

std::ptrdiff_t count_hits(const double* X, std::ptrdiff_t m, std::ptrdiff_t p, const double* beta,
                          const double* y, double eps) {
  static const HitsKernel kernel = choose_kernel();
  return kernel(X, m, p, beta, y, eps);
}

} // namespace vasq
