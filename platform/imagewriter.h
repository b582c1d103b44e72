// The writes of an image made while a source is read, on a thread of their
// own: the read that gave the bytes queues them and goes on, so a run
// does not wait for the image's disk. A read may be made straight into one
// of the writer's buffers and hand it over, so that its bytes are not
// copied once more on the run's way. What waits in the queue is bounded;
// a read that would pass the bound waits for the writer instead. Pages of
// zeros are not written: the image is a new file, and a page never written
// reads as zeros (much of a quick-formatted card is zeros, and an output
// disk slower than the card would hold the run up writing them).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
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

    // Bytes that may wait to be written, the most one piece holds, and the
    // room of a buffer (page-aligned: a device read past the cache may be
    // made into it).
    static constexpr std::uint64_t queuebytes = 16 << 20;
    static constexpr std::uint64_t piecebytes = 128 << 10;
    static constexpr std::uint64_t bufferbytes = piecebytes + 4096;

    struct FREE {
        void operator()(unsigned char* p) const;
    };
    using BUFFER = std::unique_ptr<unsigned char, FREE>;

    // fd: a file whose bytes not yet written read as zeros (made new and
    // sized with ftruncate).
    IMAGEWRITER(int fd, WRITTEN written, FAILED failed);
    // Makes every write queued, then stops the thread.
    ~IMAGEWRITER();
    IMAGEWRITER(const IMAGEWRITER&) = delete;
    IMAGEWRITER& operator=(const IMAGEWRITER&) = delete;

    // Queues the len bytes at from to be written at offset at of the file.
    // False, queueing nothing, once a write has failed.
    bool put(std::uint64_t at, const unsigned char* from, std::uint64_t len);
    // A buffer of bufferbytes to read into, or null when there is no
    // memory for one. Each goes back through give or takeback.
    BUFFER lend();
    // Queues the first len bytes of bytes (at most bufferbytes, whole
    // sectors of the image) to be written at at; put's false.
    bool give(std::uint64_t at, BUFFER bytes, std::uint64_t len);
    void takeback(BUFFER bytes);
    // Returns once every write queued before is made, or given up.
    void drain();
    bool failed() const;

private:
    struct JOB {
        std::uint64_t at = 0;
        std::uint64_t len = 0;
        BUFFER bytes;
    };
    void keep(BUFFER bytes);  // under lock
    void run();
    int write(const JOB& job) const;
    int writeall(const unsigned char* from, std::uint64_t len, std::uint64_t at) const;

    const int fd;
    const WRITTEN written;
    const FAILED fail;
    mutable std::mutex lock;
    std::condition_variable work, room;
    std::deque<JOB> jobs;
    std::vector<BUFFER> spare;  // buffers of written jobs, for the next
    std::uint64_t pending = 0;  // bytes queued or being written
    bool stopping = false, broken = false;
    std::thread thread;  // last: started once the rest is set
};

}  // namespace platform
