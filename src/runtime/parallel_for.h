// Fan-out of one kernel over threads created for the call and joined before it returns.
// Work functions run without the interpreter lock and must not touch interpreter objects.
#pragma once
#include <cstdint>

namespace zet {

using ItemWork = void (*)(void* context, int64_t index);
using RangeWork = void (*)(void* context, int64_t a_begin, int64_t a_end, int64_t b_begin,
                           int64_t b_end);

// Dynamic claiming: work(context, i) once for every i in [0, count), items claimed in
// increasing order through one atomic counter by min(threads, count, 32) threads.
void parallel_for_each(ItemWork work, void* context, int64_t count, int64_t threads);

// Form A with a head start: the started threads begin claiming items at once, while the
// calling thread first runs first(first_context) and then claims items too. With one thread
// it runs first, then every item in order.
void parallel_for_each_after(ItemWork work, void* context, int64_t count, int64_t threads,
                             void (*first)(void*), void* first_context);

// Static slices of the larger dimension of [0, n_a) x [0, n_b); the thread count comes
// from the calling thread's effective count and the grain (least work per thread).
void parallel_for_range(RangeWork work, void* context, int64_t n_a, int64_t n_b, int64_t grain);

struct RangeChunk {
  int64_t a_begin, a_end, b_begin, b_end;
};

// The slicing that parallel_for_range uses for a given thread count; returns the number
// of chunks written (1 to 32). Pure, so the slicing can be checked on its own.
int64_t plan_range_chunks(int64_t n_a, int64_t n_b, int64_t grain, int64_t threads,
                          RangeChunk chunks[32]);

// Typed conveniences: run a callable (a lambda) through the two forms.
template <class F>
void for_each_item(int64_t count, int64_t threads, F& body) {
  parallel_for_each([](void* c, int64_t i) { (*static_cast<F*>(c))(i); }, &body, count, threads);
}

template <class F, class G>
void for_each_item_after(int64_t count, int64_t threads, F& body, G& first) {
  parallel_for_each_after([](void* c, int64_t i) { (*static_cast<F*>(c))(i); }, &body, count,
                          threads, [](void* c) { (*static_cast<G*>(c))(); }, &first);
}

template <class F>
void for_each_range(int64_t n_a, int64_t n_b, int64_t grain, F& body) {
  parallel_for_range([](void* c, int64_t a0, int64_t a1, int64_t b0,
                        int64_t b1) { (*static_cast<F*>(c))(a0, a1, b0, b1); },
                     &body, n_a, n_b, grain);
}

}  // namespace zet
