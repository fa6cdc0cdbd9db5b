// The process-wide worker pool behind every parallel loop. It is created on
// first use with one worker per processor the process may run on, lets a
// thread that waits for a loop help run that loop's (or any other) chunks, so
// nested loops never deadlock, and hands the first failure of any chunk back to
// the caller. A child process created by fork() starts a fresh pool on demand.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace brandor::parallel {

// A non-owning reference to a callable taking a half-open range [begin, end).
class ChunkFn {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cv_t<F>, ChunkFn>)
    explicit ChunkFn(F& f)
        : object_(&f), call_([](void* o, std::size_t b, std::size_t e) { (*static_cast<F*>(o))(b, e); }) {}
    void operator()(std::size_t begin, std::size_t end) const { call_(object_, begin, end); }

private:
    void* object_;
    void (*call_)(void*, std::size_t, std::size_t);
};

// Number of worker threads of the pool (creates the pool on first call).
std::size_t worker_count();

// Runs fn over [0, n) cut into chunks of `chunk` items (the last may be
// shorter). Returns when every chunk has finished; the first exception thrown
// by a chunk is rethrown here after the others have finished or been skipped.
void run_chunks(std::size_t n, std::size_t chunk, ChunkFn fn);

// Picks the chunk size for n items: at least min_chunk, and coarse enough that
// claiming chunks costs little against the work, fine enough to balance.
std::size_t chunk_size(std::size_t n, std::size_t min_chunk);

// f(begin, end) over chunks of at least min_chunk items of [0, n).
template <class F>
void parallel_for_chunks(std::size_t n, std::size_t min_chunk, F&& f) {
    if (n == 0) return;
    std::size_t chunk = chunk_size(n, min_chunk);
    if (chunk >= n) {
        f(std::size_t{0}, n);
        return;
    }
    run_chunks(n, chunk, ChunkFn(f));
}

// f(i) for every i in [0, n), in chunks of at least min_chunk indices.
template <class F>
void parallel_for(std::size_t n, std::size_t min_chunk, F&& f) {
    parallel_for_chunks(n, min_chunk, [&f](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) f(i);
    });
}

}  // namespace brandor::parallel
