// The writes of an image made while a source is read, on a thread of their
// own: the read that gave the bytes queues a copy and goes on, so a run
// does not wait for the image's disk. What waits in the queue is bounded;
// a read that would pass the bound waits for the writer instead.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

class IMAGEWRITER {
public:
    // Told on the writer's thread: bytes at .. at + len - 1 are in the
    // file (after the write returned), or the first write that failed and
    // its errno. Nothing is written after a failure.
    using WRITTEN = std::function<void(std::uint64_t at, std::uint64_t len)>;
    using FAILED = std::function<void(int error)>;

    // Bytes that may wait to be written, and the most one write holds.
    static constexpr std::uint64_t queuebytes = 16 << 20;
    static constexpr std::uint64_t piecebytes = 1 << 20;

    IMAGEWRITER(int fd, WRITTEN written, FAILED failed);
    // Makes every write queued, then stops the thread.
    ~IMAGEWRITER();
    IMAGEWRITER(const IMAGEWRITER&) = delete;
    IMAGEWRITER& operator=(const IMAGEWRITER&) = delete;

    // Queues the len bytes at from to be written at offset at of the file.
    // False, queueing nothing, once a write has failed.
    bool put(std::uint64_t at, const unsigned char* from, std::uint64_t len);
    // Returns once every write queued before is made, or given up.
    void drain();
    bool failed() const;

private:
    struct JOB {
        std::uint64_t at = 0;
        std::vector<unsigned char> bytes;
    };
    void run();
    int write(const JOB& job) const;

    const int fd;
    const WRITTEN written;
    const FAILED fail;
    mutable std::mutex lock;
    std::condition_variable work, room;
    std::deque<JOB> jobs;
    std::vector<std::vector<unsigned char>> spare;  // buffers of written jobs, for the next
    std::uint64_t pending = 0;  // bytes queued or being written
    bool stopping = false, broken = false;
    std::thread thread;  // last: started once the rest is set
};

}  // namespace platform
