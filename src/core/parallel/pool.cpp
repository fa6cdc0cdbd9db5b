#include "core/parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace brandor::parallel {
namespace {

// One parallel loop. Lives on the stack of the thread that started it; all
// fields are guarded by the pool's mutex.
struct Job {
    Job(ChunkFn f, std::size_t items, std::size_t size)
        : fn(f), n(items), chunk(size), chunks((items + size - 1) / size) {}
    ChunkFn fn;
    std::uint64_t sequence = 0;  // order of creation; later loops are often nested in earlier ones
    std::size_t n;
    std::size_t chunk;
    std::size_t chunks;
    std::size_t next = 0;      // first unclaimed chunk
    std::size_t finished = 0;  // chunks run or skipped
    bool failed = false;
    std::exception_ptr error;
};

class Pool {
public:
    explicit Pool(std::size_t workers) {
        threads_.reserve(workers);
        for (std::size_t i = 0; i < workers; ++i) {
            try {
                threads_.emplace_back([this] { worker_loop(); });
            } catch (const std::system_error&) {
                // Fewer workers only cost speed: the calling thread always
                // runs chunks itself, so a loop still completes.
                break;
            }
        }
        // The workers live until the process ends; they are never joined.
        for (auto& t : threads_) t.detach();
    }

    std::size_t workers() const { return threads_.size(); }

    void run(Job& job) {
        std::unique_lock lock(mu_);
        job.sequence = ++sequence_;
        open_.push_back(&job);
        cv_.notify_all();
        while (job.finished < job.chunks) {
            if (job.next < job.chunks) {
                execute(lock, job, claim(job));
            } else if (!open_.empty() && open_.back()->sequence > job.sequence) {
                // Our chunks are all claimed but some still run elsewhere:
                // help with a newer loop (typically one nested in a chunk of
                // ours) instead of blocking. Older loops are left alone, so a
                // waiting thread never buries itself in unrelated long work;
                // the newest unfinished loop can always progress, so this
                // cannot deadlock.
                Job& other = *open_.back();
                execute(lock, other, claim(other));
            } else {
                cv_.wait(lock);
            }
        }
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    // Takes the next chunk of `job`; the lock is held.
    std::size_t claim(Job& job) {
        std::size_t index = job.next++;
        if (job.next == job.chunks) open_.erase(std::find(open_.begin(), open_.end(), &job));
        return index;
    }

    // Runs one chunk with the lock released; a failure is kept for the
    // loop's caller and the loop's remaining chunks are skipped.
    void execute(std::unique_lock<std::mutex>& lock, Job& job, std::size_t index) {
        if (!job.failed) {
            std::size_t begin = index * job.chunk;
            std::size_t end = std::min(job.n, begin + job.chunk);
            lock.unlock();
            std::exception_ptr error;
            try {
                job.fn(begin, end);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            if (error && !job.failed) {
                job.failed = true;
                job.error = error;
            }
        }
        if (++job.finished == job.chunks) cv_.notify_all();
    }

    void worker_loop() {
        std::unique_lock lock(mu_);
        for (;;) {
            if (open_.empty()) {
                cv_.wait(lock);
                continue;
            }
            Job& job = *open_.back();
            execute(lock, job, claim(job));
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Job*> open_;  // loops with unclaimed chunks, oldest first
    std::uint64_t sequence_ = 0;
    std::vector<std::thread> threads_;
};

std::size_t processors_available() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

std::mutex g_create_mu;
// The pool is never destroyed: it lives until the process ends. After fork()
// the child forgets it (its threads do not exist there) and builds its own.
Pool* g_pool = nullptr;
bool g_atfork_registered = false;

void before_fork() { g_create_mu.lock(); }
void after_fork_parent() { g_create_mu.unlock(); }
void after_fork_child() {
    g_pool = nullptr;  // deliberately leaked: its mutex may be held by a thread that is gone
    g_create_mu.unlock();
}

Pool& instance() {
    std::lock_guard guard(g_create_mu);
    if (!g_pool) {
        if (!g_atfork_registered) {
            pthread_atfork(before_fork, after_fork_parent, after_fork_child);
            g_atfork_registered = true;
        }
        g_pool = std::make_unique<Pool>(processors_available()).release();
    }
    return *g_pool;
}

}  // namespace

std::size_t worker_count() { return instance().workers(); }

std::size_t chunk_size(std::size_t n, std::size_t min_chunk) {
    std::size_t chunk = std::max<std::size_t>(1, min_chunk);
    if (n <= chunk) return chunk;
    // Coarsen only very long loops: about 64 chunks per thread is plenty to
    // balance and keeps claiming cheap.
    std::size_t threads = worker_count() + 1;
    std::size_t per = n / (64 * threads);
    return std::max(chunk, per);
}

void run_chunks(std::size_t n, std::size_t chunk, ChunkFn fn) {
    if (n == 0) return;
    chunk = std::max<std::size_t>(1, chunk);
    Job job(fn, n, chunk);
    instance().run(job);
}

}  // namespace brandor::parallel
