// Side-by-side timing: A and B alternate in short rounds within one process,
// so that a noisy machine slows both alike; the result is the median of the
// per-round ratios time(A) / time(B).
#ifndef RAWCRYPT_BENCH_RATIO_H
#define RAWCRYPT_BENCH_RATIO_H

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// quick_run: a short run that only proves the bench still works (test.sh):
// three rounds, a tenth of the calls, no verdicts.
inline bool quick_run = false;

// bench_arguments: the command line's words but --quick, which sets quick_run.
inline std::vector<std::string> bench_arguments(int argc, char** argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--quick")
      quick_run = true;
    else
      words.push_back(argv[i]);
  }
  return words;
}

struct Ratio {
  double a_us, b_us, ratio;
};

template <typename A, typename B>
Ratio measure_ratio(A&& a, B&& b, int rounds, int calls_per_round) {
  if (quick_run) {
    rounds = 3;
    calls_per_round = std::max(1, calls_per_round / 10);
  }
  using clock = std::chrono::steady_clock;
  auto time_of = [&](auto& f) {
    auto start = clock::now();
    for (int i = 0; i < calls_per_round; ++i) f();
    return std::chrono::duration<double, std::micro>(clock::now() - start).count() /
           calls_per_round;
  };
  a();
  b();  // warm caches and lazy initialisation
  std::vector<double> ratios, as, bs;
  for (int r = 0; r < rounds; ++r) {
    double ta, tb;
    if (r % 2) {  // alternate which goes first
      ta = time_of(a);
      tb = time_of(b);
    } else {
      tb = time_of(b);
      ta = time_of(a);
    }
    as.push_back(ta);
    bs.push_back(tb);
    ratios.push_back(ta / tb);
  }
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  return {median(as), median(bs), median(ratios)};
}

// report: one line per comparison; returns whether the goal was met.
inline bool report(const char* name, const Ratio& r, double goal) {
  bool met = quick_run || r.ratio <= goal;
  std::printf("%-44s %10.2f us vs %10.2f us  ratio %.3f (goal <= %.2f) %s\n", name, r.a_us,
              r.b_us, r.ratio, goal, met ? "met" : "MISSED");
  return met;
}

#endif  // RAWCRYPT_BENCH_RATIO_H
