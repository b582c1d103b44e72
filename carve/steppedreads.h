// A reading job that the carver can stop between two of its steps: a file
// read on to its end through its headers or forward in pieces
// (verify::streamedextent) may read a whole archive, far more than one step
// may. The job runs on a thread of its own and waits at each read; the
// carver does the read itself, on its own thread, and lets the job go on
// to its next read, as many reads a step as it allows. So the job's state
// is kept across steps on its own stack, every read of the source stays on
// the thread that carves, and the two never run at once: the job runs only
// while the carving thread waits for its next read or its end.
#pragma once

#include "verify/verify.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace carve {

class STEPPEDREADS {
public:
    STEPPEDREADS() = default;
    // A job under way has its reads fail until it ends.
    ~STEPPEDREADS();
    STEPPEDREADS(const STEPPEDREADS&) = delete;
    STEPPEDREADS& operator=(const STEPPEDREADS&) = delete;

    // job reads only through the READAT it is given; it begins at the next
    // resume. Not while another is under way.
    void start(std::function<void(const verify::READAT&)> job);
    // The job runs on, its reads done here through read, until it ends
    // (true) or, before a read, enough() says this step has read enough:
    // it then waits there for the next resume.
    bool resume(const verify::READAT& read, const std::function<bool()>& enough);
    bool underway() const { return state != STATE::none; }
    // The job under way, if any, ends now, its reads failing.
    void abandon();

private:
    enum class STATE { none, begun, working, asking, ended };
    void serve();
    // On the job's thread: one read handed to the carving thread.
    bool ask(std::uint64_t from, std::size_t n, unsigned char* to);

    std::mutex lock;
    std::condition_variable changed;
    std::thread worker;
    std::function<void(const verify::READAT&)> job;
    STATE state = STATE::none;
    bool failing = false;  // abandoned: every read fails at once
    bool quit = false;
    // The read asked for, and its answer.
    std::uint64_t from = 0;
    std::size_t n = 0;
    unsigned char* to = nullptr;
    bool answer = false;
};

}  // namespace carve
