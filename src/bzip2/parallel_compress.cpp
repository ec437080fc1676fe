// The whole compression: the calling thread reads the input, finds the block
// edges and joins the results in order; worker threads compress the blocks.
#include <bzlib.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "bzip2/bzip2.h"

std::string libbz2Release() {
    std::string version = BZ2_bzlibVersion();
    size_t comma = version.find(',');
    return comma == std::string::npos ? version : version.substr(0, comma);
}

namespace {

constexpr uint32_t READ_PIECE = 256u << 10;

struct Job {
    std::vector<unsigned char> input;
    CompressedBlock result;
    bool done = false;
    bool ok = false;
};

// Blocks in input order; workers take them from `waiting`, the joiner from
// the front of `inOrder` once they are done.
class BlockPool {
public:
    BlockPool(OStream& out, int blockSize, unsigned threads)
        : joiner(out, blockSize), blockSize(blockSize), limit(2 * threads) {
        if (threads > 1)
            for (unsigned i = 0; i < threads; ++i) workers.emplace_back([this] { work(); });
    }

    ~BlockPool() { stop(); }

    void submit(std::vector<unsigned char>&& input) {
        auto job = std::make_shared<Job>();
        job->input = std::move(input);
        if (workers.empty()) {
            job->ok = compressBlock(job->input.data(), job->input.size(), blockSize, job->result);
            ok = ok && job->ok && joiner.add(job->result);
            return;
        }
        std::unique_lock<std::mutex> lock(mutex);
        while (inOrder.size() >= limit) joinFront(lock);
        inOrder.push_back(job);
        waiting.push_back(job);
        wake.notify_all();
    }

    // Joins every block, then writes the trailer. False when anything failed.
    bool finish() {
        {
            std::unique_lock<std::mutex> lock(mutex);
            while (!inOrder.empty()) joinFront(lock);
        }
        stop();
        return joiner.finish() && ok;
    }

private:
    void joinFront(std::unique_lock<std::mutex>& lock) {
        std::shared_ptr<Job> job = inOrder.front();
        wake.wait(lock, [&] { return job->done; });
        inOrder.pop_front();
        lock.unlock();
        ok = ok && job->ok && joiner.add(job->result);
        lock.lock();
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return closing || !waiting.empty(); });
            if (waiting.empty()) return;
            std::shared_ptr<Job> job = waiting.front();
            waiting.pop_front();
            lock.unlock();
            bool good = compressBlock(job->input.data(), job->input.size(), blockSize, job->result);
            std::vector<unsigned char>().swap(job->input);
            lock.lock();
            job->ok = good;
            job->done = true;
            wake.notify_all();
        }
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
            wake.notify_all();
        }
        for (std::thread& worker : workers) worker.join();
        workers.clear();
    }

    StreamJoiner joiner;
    int blockSize;
    size_t limit;
    bool ok = true;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Job>> inOrder;
    std::deque<std::shared_ptr<Job>> waiting;
    std::vector<std::thread> workers;
    bool closing = false;
};

}  // namespace

bool parallelBzip2(IStream& in, OStream& out, int blockSize, unsigned threads) {
    if (blockSize < 1 || blockSize > 9) return false;
    if (threads < 1) threads = 1;
    BlockPool pool(out, blockSize, threads);
    BlockScanner scanner(blockSize);
    // `current` holds the input from the current block's first byte on;
    // `scanned` of its bytes have been through the scanner.
    std::vector<unsigned char> current;
    size_t scanned = 0;
    uint64_t blockStart = 0;
    bool atEnd = false;
    while (!atEnd || scanned < current.size()) {
        if (scanned == current.size()) {
            current.resize(scanned + READ_PIECE);
            uint32_t got = in.read(current.data() + scanned, READ_PIECE);
            current.resize(scanned + got);
            if (got < READ_PIECE) atEnd = true;
            continue;
        }
        bool found = false;
        uint64_t edge = 0;
        scanned += scanner.scan(current.data() + scanned, current.size() - scanned, found, edge);
        if (!found) continue;
        size_t cut = static_cast<size_t>(edge - blockStart);
        std::vector<unsigned char> next(current.begin() + static_cast<std::ptrdiff_t>(cut),
                                        current.end());
        current.resize(cut);
        pool.submit(std::move(current));
        current = std::move(next);
        scanned -= cut;
        blockStart = edge;
    }
    uint64_t edge = 0;
    if (scanner.finish(edge)) {
        size_t cut = static_cast<size_t>(edge - blockStart);
        std::vector<unsigned char> next(current.begin() + static_cast<std::ptrdiff_t>(cut),
                                        current.end());
        current.resize(cut);
        pool.submit(std::move(current));
        current = std::move(next);
    }
    if (!current.empty()) pool.submit(std::move(current));
    return pool.finish();
}

bool parallelBzip2File(const std::string& input, const std::string& output, int blockSize,
                       unsigned threads) {
    IFStream in(input);
    if (!in.isOpen()) return false;
    OFStream out(output);
    if (!out.isOpen()) return false;
    bool ok = parallelBzip2(in, out, blockSize, threads);
    return out.close() && ok;
}
