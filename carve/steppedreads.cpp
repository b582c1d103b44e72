#include "carve/steppedreads.h"

namespace carve {

STEPPEDREADS::~STEPPEDREADS()
{
    abandon();
    {
        const std::lock_guard<std::mutex> held(lock);
        quit = true;
    }
    changed.notify_all();
    if (worker.joinable())
        worker.join();
}

void STEPPEDREADS::start(std::function<void(const verify::READAT&)> what)
{
    // One thread for the carver's life: a card full of false starts begins
    // many jobs, each of a few reads.
    if (!worker.joinable())
        worker = std::thread([this] { serve(); });
    const std::lock_guard<std::mutex> held(lock);
    job = std::move(what);
    failing = false;
    state = STATE::begun;
}

void STEPPEDREADS::serve()
{
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
        changed.wait(held, [this] { return quit || state == STATE::working; });
        if (quit)
            return;
        held.unlock();
        try {
            job([this](std::uint64_t at, std::size_t count, unsigned char* into) { return ask(at, count, into); });
        } catch (...) {
            // Out of memory inside the job: what it found so far stands,
            // and its caller judges the file failed.
        }
        held.lock();
        state = STATE::ended;
        changed.notify_all();
    }
}

bool STEPPEDREADS::ask(std::uint64_t at, std::size_t count, unsigned char* into)
{
    std::unique_lock<std::mutex> held(lock);
    if (failing)
        return false;
    from = at;
    n = count;
    to = into;
    state = STATE::asking;
    changed.notify_all();
    changed.wait(held, [this] { return state != STATE::asking; });
    return answer;
}

bool STEPPEDREADS::resume(const verify::READAT& read, const std::function<bool()>& enough)
{
    std::unique_lock<std::mutex> held(lock);
    if (state == STATE::none)
        return true;
    if (state == STATE::begun) {
        state = STATE::working;
        changed.notify_all();
    }
    for (;;) {
        // Never both at once: the job runs only while this thread waits.
        changed.wait(held, [this] { return state == STATE::asking || state == STATE::ended; });
        if (state == STATE::ended) {
            state = STATE::none;
            job = nullptr;
            return true;
        }
        // The job waits at its next read, which the next step does first.
        if (enough())
            return false;
        held.unlock();
        const bool got = read(from, n, to);
        held.lock();
        answer = got;
        state = STATE::working;
        changed.notify_all();
    }
}

void STEPPEDREADS::abandon()
{
    std::unique_lock<std::mutex> held(lock);
    if (state == STATE::none)
        return;
    if (state != STATE::begun) {
        failing = true;
        if (state == STATE::asking) {
            answer = false;
            state = STATE::working;
            changed.notify_all();
        }
        changed.wait(held, [this] { return state == STATE::ended; });
    }
    state = STATE::none;
    failing = false;
    job = nullptr;
}

}  // namespace carve
