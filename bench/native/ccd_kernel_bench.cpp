// Speed of the translating triangle pair kernel alone, on one thread, over a fixed set of
// random nearby triangle pairs. Prints one JSON object on standard output.
//
// usage: zet_ccd_kernel_bench [--pairs N] [--passes P] [--dump DIR]
//
// The sets are made from a fixed seed with a self-contained generator (splitmix64), so they
// are the same on every machine and every run. For each pair a centre is drawn in
// [-10, 10]^3; the obstacle triangle's corners lie within 1 of it (on each axis), the moving
// triangle's corners within 1 of the centre shifted by up to 0.5 on each axis. Two variants:
//   translating: one common velocity (0.9, -1.3, 1.7) and, per pair, t0 in [0, 0.5] and
//                t1 = t0 + a length in [0, 1]; the moving triangle is moved back by
//                velocity * (t0 + t1) / 2, so that it passes the obstacle halfway along its
//                path;
//   static:      the same triangles without the move back, velocity 0 and t0 = t1 = 0 (the
//                at-rest intersection test of the mesh self-intersection check).
// Tolerances: abs_tol 1e-12, rel_tol 1e-12, sin_tol 1e-9 (the defaults of the companion
// package). Each pass evaluates the whole set once and keeps every result; the figure is
// the best pass. The contact pairs alone and the separated pairs alone are then timed the
// same way, for the cost of each outcome. With --dump DIR each variant's pairs and results
// are written as raw native-endian arrays (NAME.pairs.f8: per pair moving 9, obstacle 9,
// t0, t1; NAME.velocity.f8: 3; NAME.res: the nine result fields packed as i4 f8 f8 i4 f8
// f8 i4 i4 i4) so that the interpreter-side batch can be checked against the same
// evaluations.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "collision/ccd_kernel.h"

namespace {

constexpr double kAbsTol = 1e-12, kRelTol = 1e-12, kSinTol = 1e-9;
constexpr uint64_t kSeed = 20240603;

struct SplitMix64 {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi), from the top 53 bits.
  double uniform(double lo, double hi) {
    return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1.0p-53);
  }
};

struct PairSet {
  std::vector<double> moving, obstacle, paths;  // 9, 9 and 2 per pair
};

struct Variant {
  const char* name;
  double velocity[3];
  bool at_rest;  // velocity 0, t0 = t1 = 0, no move back
};

PairSet make_pairs(size_t n, const Variant& v) {
  PairSet s;
  s.moving.resize(9 * n);
  s.obstacle.resize(9 * n);
  s.paths.resize(2 * n);
  SplitMix64 rng{kSeed};  // the same triangles for every variant
  for (size_t i = 0; i < n; ++i) {
    double centre[3], shift[3];
    for (double& c : centre) c = rng.uniform(-10.0, 10.0);
    for (double& d : shift) d = rng.uniform(-0.5, 0.5);
    for (int k = 0; k < 9; ++k) s.obstacle[9 * i + k] = centre[k % 3] + rng.uniform(-1.0, 1.0);
    for (int k = 0; k < 9; ++k)
      s.moving[9 * i + k] = centre[k % 3] + shift[k % 3] + rng.uniform(-1.0, 1.0);
    const double t0 = rng.uniform(0.0, 0.5);
    const double t1 = t0 + rng.uniform(0.0, 1.0);
    if (v.at_rest) {
      s.paths[2 * i] = s.paths[2 * i + 1] = 0.0;
    } else {
      s.paths[2 * i] = t0;
      s.paths[2 * i + 1] = t1;
      const double middle = 0.5 * (t0 + t1);
      for (int k = 0; k < 9; ++k) s.moving[9 * i + k] -= v.velocity[k % 3] * middle;
    }
  }
  return s;
}

struct Figures {
  double best_pass = 1e300, total = 0.0;
  uint64_t status[3] = {0, 0, 0};
  uint64_t reason[7] = {0, 0, 0, 0, 0, 0, 0};
  uint64_t skipped_axes = 0;
  double checksum = 0.0;
};

Figures run(const PairSet& s, const Variant& v, size_t n, int passes,
            std::vector<zet::TriangleCcdResult>& results) {
  Figures f;
  results.assign(n, zet::TriangleCcdResult{});
  for (int pass = 0; pass < passes; ++pass) {
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < n; ++i) {
      results[i] = zet::translating_triangle_ccd(&s.moving[9 * i], &s.obstacle[9 * i], v.velocity,
                                                 s.paths[2 * i], s.paths[2 * i + 1], kAbsTol,
                                                 kRelTol, kSinTol);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.best_pass = seconds < f.best_pass ? seconds : f.best_pass;
    f.total += seconds;
  }
  for (const auto& r : results) {
    if (r.status >= 0 && r.status < 3) ++f.status[r.status];
    if (r.reason >= 0 && r.reason < 7) ++f.reason[r.reason];
    f.skipped_axes += static_cast<uint64_t>(r.skipped_axes);
    if (r.status != zet::kCcdSeparated) f.checksum += r.enter + r.exit;
  }
  return f;
}

// The pairs of s whose result had the given status, in order.
PairSet subset(const PairSet& s, const std::vector<zet::TriangleCcdResult>& results,
               int32_t status) {
  PairSet out;
  for (size_t i = 0; i < results.size(); ++i) {
    if (results[i].status != status) continue;
    out.moving.insert(out.moving.end(), &s.moving[9 * i], &s.moving[9 * i] + 9);
    out.obstacle.insert(out.obstacle.end(), &s.obstacle[9 * i], &s.obstacle[9 * i] + 9);
    out.paths.insert(out.paths.end(), &s.paths[2 * i], &s.paths[2 * i] + 2);
  }
  return out;
}

// The nine fields packed without padding, as the companion package's result dtype.
void dump_results(const std::string& path, const std::vector<zet::TriangleCcdResult>& results) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  for (const auto& r : results) {
    unsigned char rec[52];
    size_t at = 0;
    auto put = [&](const void* p, size_t size) {
      std::memcpy(rec + at, p, size);
      at += size;
    };
    put(&r.status, 4), put(&r.enter, 8), put(&r.exit, 8), put(&r.strict, 4);
    put(&r.strict_enter, 8), put(&r.strict_exit, 8), put(&r.axis_count, 4);
    put(&r.skipped_axes, 4), put(&r.reason, 4);
    std::fwrite(rec, 1, sizeof rec, out);
  }
  std::fclose(out);
}

void dump_pairs(const std::string& prefix, const PairSet& s, size_t n, const double velocity[3]) {
  std::FILE* out = std::fopen((prefix + ".pairs.f8").c_str(), "wb");
  std::FILE* vel = std::fopen((prefix + ".velocity.f8").c_str(), "wb");
  if (!out || !vel) {
    std::fprintf(stderr, "cannot write %s.*\n", prefix.c_str());
    std::exit(1);
  }
  for (size_t i = 0; i < n; ++i) {
    std::fwrite(&s.moving[9 * i], sizeof(double), 9, out);
    std::fwrite(&s.obstacle[9 * i], sizeof(double), 9, out);
    std::fwrite(&s.paths[2 * i], sizeof(double), 2, out);
  }
  std::fwrite(velocity, sizeof(double), 3, vel);
  std::fclose(out);
  std::fclose(vel);
}

}  // namespace

int main(int argc, char** argv) {
  size_t n = size_t{1} << 18;
  int passes = 20;
  std::string dump;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--pairs" && i + 1 < argc) {
      n = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--passes" && i + 1 < argc) {
      passes = std::atoi(argv[++i]);
    } else if (a == "--dump" && i + 1 < argc) {
      dump = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--pairs N] [--passes P] [--dump DIR]\n", argv[0]);
      return 2;
    }
  }
  if (n == 0 || passes < 1) {
    std::fprintf(stderr, "need at least one pair and one pass\n");
    return 2;
  }
  const Variant variants[] = {{"translating", {0.9, -1.3, 1.7}, false},
                              {"static", {0.0, 0.0, 0.0}, true}};

  std::vector<zet::TriangleCcdResult> results;
  std::printf(
      "{\"pairs\": %zu, \"passes\": %d, \"abs_tol\": %g, \"rel_tol\": %g, \"sin_tol\": %g, "
      "\"variants\": [",
      n, passes, kAbsTol, kRelTol, kSinTol);
  bool first = true;
  for (const Variant& v : variants) {
    const PairSet s = make_pairs(n, v);
    const Figures f = run(s, v, n, passes, results);
    if (!dump.empty()) {
      dump_pairs(dump + "/" + v.name, s, n, v.velocity);
      dump_results(dump + "/" + v.name + ".res", results);
    }
    const double dn = static_cast<double>(n);
    std::printf(
        "%s{\"name\": \"%s\", \"velocity\": [%g, %g, %g], \"best_pass_seconds\": %.9g, "
        "\"mean_pass_seconds\": %.9g, \"evaluations_per_second\": %.6g, "
        "\"contact\": %.6f, \"separated\": %.6f, \"uncertain\": %.6f, \"reasons\": [",
        first ? "" : ", ", v.name, v.velocity[0], v.velocity[1], v.velocity[2], f.best_pass,
        f.total / passes, dn / f.best_pass, f.status[zet::kCcdContact] / dn,
        f.status[zet::kCcdSeparated] / dn, f.status[zet::kCcdUncertain] / dn);
    for (int r = 0; r < 7; ++r)
      std::printf("%s%llu", r ? ", " : "", (unsigned long long)f.reason[r]);
    std::printf("], \"skipped_axes\": %llu, \"checksum\": %.17g",
                (unsigned long long)f.skipped_axes, f.checksum);
    // The same loop over the contact pairs alone and over the separated pairs alone: what
    // one evaluation of each outcome costs (a separated pair can stop at its first axis).
    const struct {
      const char* key;
      int32_t status;
    } outcomes[] = {{"contact_only_per_second", zet::kCcdContact},
                    {"separated_only_per_second", zet::kCcdSeparated}};
    for (const auto& o : outcomes) {
      const PairSet part = subset(s, results, o.status);
      const size_t m = part.paths.size() / 2;
      std::vector<zet::TriangleCcdResult> scratch;
      const double per_second = m ? m / run(part, v, m, passes, scratch).best_pass : 0.0;
      std::printf(", \"%s\": %.6g", o.key, per_second);
    }
    std::printf("}");
    first = false;
  }
  std::printf("]}\n");
  return 0;
}
