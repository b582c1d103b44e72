#include "platform/imagewriter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

bool IMAGEWRITER::put(std::uint64_t at, const unsigned char* from, std::uint64_t len)
{
    while (len != 0) {
        // Pieces end on multiples of piecebytes in the file, so that no
        // sector of the image is split between two of them.
        const std::uint64_t n = std::min(len, piecebytes - at % piecebytes);
        std::vector<unsigned char> bytes;
        {
            std::unique_lock<std::mutex> held(lock);
            room.wait(held, [&] { return broken || pending == 0 || pending + n <= queuebytes; });
            if (broken)
                return false;
            pending += n;
            if (!spare.empty()) {
                bytes = std::move(spare.back());
                spare.pop_back();
            }
        }
        bytes.assign(from, from + n);
        {
            const std::lock_guard<std::mutex> held(lock);
            // A write that failed meanwhile ends imaging: nothing goes after it.
            if (broken) {
                pending -= n;
                room.notify_all();
                return false;
            }
            jobs.push_back({at, std::move(bytes)});
        }
        work.notify_one();
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

int IMAGEWRITER::write(const JOB& job) const
{
    const std::uint64_t len = job.bytes.size();
    for (std::uint64_t done = 0; done < len;) {
        const ssize_t put = ::pwrite(fd, job.bytes.data() + done, len - done, off_t(job.at + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : ENOSPC;
        done += std::uint64_t(put);
    }
    return 0;
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
            written(job.at, job.bytes.size());
        else
            fail(error);
        held.lock();
        pending -= job.bytes.size();
        if (spare.size() < queuebytes / piecebytes)
            spare.push_back(std::move(job.bytes));
        if (error != 0) {
            broken = true;
            for (const JOB& dropped : jobs)
                pending -= dropped.bytes.size();
            jobs.clear();
        }
        room.notify_all();
    }
}

}  // namespace platform
