#include "platform/imagewriter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

IMAGEWRITER::IMAGEWRITER(int fd, WRITTEN written, FAILED failed)
    : fd(fd), written(std::move(written)), fail(std::move(failed)), thread([this] { run(); })
{
}

IMAGEWRITER::~IMAGEWRITER()
{
    {
        const std::lock_guard<std::mutex> held(lock);
        stopping = true;
    }
    work.notify_one();
    thread.join();
}

void IMAGEWRITER::FREE::operator()(unsigned char* p) const { std::free(p); }

IMAGEWRITER::BUFFER IMAGEWRITER::lend()
{
    {
        const std::lock_guard<std::mutex> held(lock);
        if (!spare.empty()) {
            BUFFER bytes = std::move(spare.back());
            spare.pop_back();
            return bytes;
        }
    }
    void* p = nullptr;
    return BUFFER(posix_memalign(&p, 4096, bufferbytes) == 0 ? static_cast<unsigned char*>(p) : nullptr);
}

void IMAGEWRITER::keep(BUFFER bytes)
{
    // As many kept as the queue and one long read hold: a buffer made
    // anew for each piece costs the system more than writing it.
    if (bytes && spare.size() < 2 * queuebytes / piecebytes)
        spare.push_back(std::move(bytes));
}

void IMAGEWRITER::takeback(BUFFER bytes)
{
    const std::lock_guard<std::mutex> held(lock);
    keep(std::move(bytes));
}

bool IMAGEWRITER::give(std::uint64_t at, BUFFER bytes, std::uint64_t len)
{
    {
        std::unique_lock<std::mutex> held(lock);
        room.wait(held, [&] { return broken || pending == 0 || pending + len <= queuebytes; });
        if (broken || !bytes || len > bufferbytes) {
            keep(std::move(bytes));
            return false;
        }
        pending += len;
        jobs.push_back({at, len, std::move(bytes)});
    }
    work.notify_one();
    return true;
}

bool IMAGEWRITER::put(std::uint64_t at, const unsigned char* from, std::uint64_t len)
{
    while (len != 0) {
        // Pieces end on multiples of piecebytes in the file, so that no
        // sector of the image is split between two of them.
        const std::uint64_t n = std::min(len, piecebytes - at % piecebytes);
        BUFFER bytes = lend();
        if (!bytes)
            return false;  // no memory: the sectors are not marked in the image
        std::memcpy(bytes.get(), from, n);
        if (!give(at, std::move(bytes), n))
            return false;
        at += n;
        from += n;
        len -= n;
    }
    return true;
}

void IMAGEWRITER::drain()
{
    std::unique_lock<std::mutex> held(lock);
    room.wait(held, [&] { return pending == 0; });
}

bool IMAGEWRITER::failed() const
{
    const std::lock_guard<std::mutex> held(lock);
    return broken;
}

int IMAGEWRITER::writeall(const unsigned char* from, std::uint64_t len, std::uint64_t at) const
{
    for (std::uint64_t done = 0; done < len;) {
        const ssize_t put = ::pwrite(fd, from + done, len - done, off_t(at + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : ENOSPC;
        done += std::uint64_t(put);
    }
    return 0;
}

int IMAGEWRITER::write(const JOB& job) const
{
    // The job's pages of zeros are left out where they begin or end it, or
    // make a hole of holebytes or more; shorter runs between data are
    // written with it, one call being dearer than their pages.
    static constexpr std::uint64_t page = 4096, holebytes = 64 << 10;
    static const unsigned char zeros[page] = {};
    const std::uint64_t len = job.len;
    const unsigned char* const bytes = job.bytes.get();
    std::uint64_t from = 0, to = 0;  // the stretch to write, to its last data
    bool data = false;
    for (std::uint64_t at = 0; at < len;) {
        const std::uint64_t n = std::min(len - at, page - (job.at + at) % page);
        if (std::memcmp(bytes + at, zeros, n) != 0) {
            if (data && at - to >= holebytes) {
                if (int error = writeall(bytes + from, to - from, job.at + from))
                    return error;
                data = false;
            }
            if (!data)
                from = at;
            data = true;
            to = at + n;
        }
        at += n;
    }
    return data ? writeall(bytes + from, to - from, job.at + from) : 0;
}

void IMAGEWRITER::run()
{
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
        work.wait(held, [&] { return stopping || !jobs.empty(); });
        if (jobs.empty())
            return;  // stopping, and every job written
        JOB job = std::move(jobs.front());
        jobs.pop_front();
        held.unlock();
        const int error = write(job);
        // Told before the job stops counting as pending: drain() returning
        // means its sectors are marked, or the failure is known.
        if (error == 0)
            written(job.at, job.len);
        else
            fail(error);
        held.lock();
        pending -= job.len;
        keep(std::move(job.bytes));
        if (error != 0) {
            broken = true;
            for (JOB& dropped : jobs) {
                pending -= dropped.len;
                keep(std::move(dropped.bytes));
            }
            jobs.clear();
        }
        room.notify_all();
    }
}

}  // namespace platform
