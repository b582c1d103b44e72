// kov_badblocks: serves one image file read-only through FUSE as a card with
// unreadable sectors and a card reader's speed, for a read-only loop device
// to sit on (tests/support/badblockdevice.h, bench/badblocks.py).
//
//   kov_badblocks [--bad FIRST[-LAST][,...]]... [--pace BYTES_PER_SECOND]
//                 [--stats FILE] [--trace FILE] IMAGE MOUNTPOINT
//
// The mount holds "card" (the image) and "stats" (the counters so far).
// - A read that touches a bad 512-byte sector fails whole with EIO, as a
//   device fails a request: none of its bytes are served (but it takes
//   their time at the pace).
// - The pace is a device clock: each read waits until the bytes served
//   before it and its own would have passed at that rate, so concurrent
//   reads share the rate instead of multiplying it. The clock keeps up to
//   20 ms of idle time: the late wake-ups of a busy machine (each sleeping
//   thread, the loop's worker, the reader) would otherwise add to every
//   request, and a read of the card at 90 MB/s took twice its time.
// - Both files are opened with direct_io, so the kernel neither caches nor
//   widens reads: the server sees each request's offset and size.
// - Counters: reads, bytes served, failed reads, the largest read, and for
//   each bad sector asked for at least once, how often it was asked for.
//   "stats" gives them at the moment it is opened; --stats FILE gets them
//   at unmount. --trace FILE gets one line per read of the card: offset,
//   size, 0 or the error, and microseconds since the start.
// Runs in the foreground; prints "mounted" on stdout once the mount is in
// place. SIGTERM or an unmount ends it.
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint64_t sectorbytes = 512;
// The per-sector counters are the only memory that grows with the input.
constexpr std::uint64_t maxbadsectors = std::uint64_t(1) << 22;
constexpr auto paceslack = std::chrono::milliseconds(20);
constexpr const char* cardname = "/card";
constexpr const char* statsname = "/stats";

struct Range {
    std::uint64_t first = 0, last = 0;  // sectors, inclusive
    std::uint64_t index = 0;            // of its first sector's counter
};

struct Server {
    int image = -1;
    std::uint64_t size = 0;
    std::vector<Range> bad;  // sorted, disjoint
    std::vector<std::uint32_t> asked;
    std::uint64_t pace = 0;  // bytes per second; 0: as fast as it goes
    std::string statspath;
    std::FILE* trace = nullptr;

    std::mutex lock;  // asked, clock, trace
    std::chrono::steady_clock::time_point clock{};
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::atomic<std::uint64_t> reads{0}, bytes{0}, failed{0}, largest{0};

    // Counts the read on every bad sector it touches; true when it touches one.
    bool countbad(std::uint64_t offset, std::uint64_t length)
    {
        if (length == 0 || bad.empty())
            return false;
        const std::uint64_t first = offset / sectorbytes;
        const std::uint64_t last = (offset + length - 1) / sectorbytes;
        auto it = std::lower_bound(bad.begin(), bad.end(), first,
                                   [](const Range& r, std::uint64_t s) { return r.last < s; });
        bool hit = false;
        std::lock_guard<std::mutex> hold(lock);
        for (; it != bad.end() && it->first <= last; ++it) {
            const std::uint64_t from = std::max(first, it->first), to = std::min(last, it->last);
            for (std::uint64_t s = from; s <= to; ++s)
                ++asked[it->index + s - it->first];
            hit = true;
        }
        return hit;
    }

    void waitturn(std::uint64_t length)
    {
        if (pace == 0)
            return;
        const auto cost = std::chrono::nanoseconds(length * 1000000000ull / pace);
        std::chrono::steady_clock::time_point until;
        {
            std::lock_guard<std::mutex> hold(lock);
            clock = std::max(clock, std::chrono::steady_clock::now() - paceslack) + cost;
            until = clock;
        }
        std::this_thread::sleep_until(until);
    }

    std::string stats()
    {
        std::string out = "reads " + std::to_string(reads.load()) + "\nbytes " + std::to_string(bytes.load()) +
                          "\nfailed " + std::to_string(failed.load()) + "\nlargest " +
                          std::to_string(largest.load()) + "\n";
        std::lock_guard<std::mutex> hold(lock);
        for (const Range& r : bad)
            for (std::uint64_t s = r.first; s <= r.last; ++s)
                if (const std::uint32_t n = asked[r.index + s - r.first])
                    out += "bad " + std::to_string(s) + " " + std::to_string(n) + "\n";
        return out;
    }
};

Server server;

int getattr(const char* path, struct stat* st, fuse_file_info*)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
    } else if (std::strcmp(path, cardname) == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = off_t(server.size);
        st->st_blksize = sectorbytes;
    } else if (std::strcmp(path, statsname) == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = off_t(server.stats().size());
    } else {
        return -ENOENT;
    }
    return 0;
}

int readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    for (const char* name : {".", "..", cardname + 1, statsname + 1})
        fill(buf, name, nullptr, 0, fuse_fill_dir_flags(0));
    return 0;
}

int open(const char* path, fuse_file_info* fi)
{
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    if (std::strcmp(path, statsname) == 0)
        fi->fh = reinterpret_cast<std::uint64_t>(new std::string(server.stats()));
    else if (std::strcmp(path, cardname) != 0)
        return -ENOENT;
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

int release(const char*, fuse_file_info* fi)
{
    delete reinterpret_cast<std::string*>(fi->fh);
    fi->fh = 0;
    return 0;
}

int read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi)
{
    if (fi->fh != 0) {
        const std::string& text = *reinterpret_cast<std::string*>(fi->fh);
        if (std::uint64_t(offset) >= text.size())
            return 0;
        const size_t n = std::min(size, text.size() - size_t(offset));
        std::memcpy(buf, text.data() + offset, n);
        return int(n);
    }
    ++server.reads;
    std::uint64_t prev = server.largest.load();
    while (prev < size && !server.largest.compare_exchange_weak(prev, size)) {
    }
    // A failed request takes its bytes' time too, as the device tried them.
    server.waitturn(size);
    int result;
    if (server.countbad(std::uint64_t(offset), size)) {
        result = -EIO;
    } else {
        const ssize_t got = pread(server.image, buf, size, offset);
        result = got < 0 ? -errno : int(got);
    }
    if (result < 0)
        ++server.failed;
    else
        server.bytes += std::uint64_t(result);
    if (server.trace) {
        std::lock_guard<std::mutex> hold(server.lock);
        const auto since = std::chrono::steady_clock::now() - server.start;
        std::fprintf(server.trace, "%lld %zu %d %lld\n", static_cast<long long>(offset), size, result < 0 ? -result : 0,
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(since).count()));
        std::fflush(server.trace);
    }
    return result;
}

void destroy(void*)
{
    if (server.statspath.empty())
        return;
    const std::string text = server.stats();
    if (std::FILE* f = std::fopen(server.statspath.c_str(), "w")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

bool parsenumber(const std::string& text, std::uint64_t& out)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19)
        return false;
    out = std::stoull(text);
    return true;
}

// "FIRST" or "FIRST-LAST", comma separated.
bool parsebad(const std::string& list, std::vector<Range>& out)
{
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        const std::string item = list.substr(at, comma - at);
        const std::size_t dash = item.find('-');
        Range r;
        if (!parsenumber(item.substr(0, dash), r.first))
            return false;
        r.last = r.first;
        if (dash != std::string::npos && (!parsenumber(item.substr(dash + 1), r.last) || r.last < r.first))
            return false;
        out.push_back(r);
        at = comma + 1;
    }
    return true;
}

// A count with an optional decimal suffix: k, M, G (powers of 1000).
bool parsepace(std::string text, std::uint64_t& out)
{
    std::uint64_t scale = 1;
    if (!text.empty()) {
        const char unit = text.back();
        scale = unit == 'k' ? 1000 : unit == 'M' ? 1000000 : unit == 'G' ? 1000000000 : 1;
        if (scale != 1)
            text.pop_back();
    }
    // Up to 1 TB/s, which no card reaches.
    return parsenumber(text, out) && out > 0 && out <= 1000000000000ull / scale && (out *= scale, true);
}

// Sorts and merges the ranges and gives each its counters.
bool settle(std::vector<Range>& ranges, std::vector<std::uint32_t>& counters)
{
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
    std::vector<Range> merged;
    for (const Range& r : ranges) {
        if (!merged.empty() && r.first <= merged.back().last + 1)
            merged.back().last = std::max(merged.back().last, r.last);
        else
            merged.push_back(r);
    }
    std::uint64_t total = 0;
    for (Range& r : merged) {
        r.index = total;
        total += r.last - r.first + 1;
        if (total > maxbadsectors)
            return false;
    }
    ranges = std::move(merged);
    counters.assign(total, 0);
    return true;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: kov_badblocks [--bad FIRST[-LAST][,...]]... [--pace BYTES_PER_SECOND[k|M|G]]\n"
                 "                     [--stats FILE] [--trace FILE] IMAGE MOUNTPOINT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> plain;
    std::string tracepath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool valued = arg == "--bad" || arg == "--pace" || arg == "--stats" || arg == "--trace";
        if (!valued) {
            if (arg.size() > 1 && arg[0] == '-')
                return usage();
            plain.push_back(arg);
            continue;
        }
        if (i + 1 == argc)
            return usage();
        const std::string value = argv[++i];
        if ((arg == "--bad" && !parsebad(value, server.bad)) || (arg == "--pace" && !parsepace(value, server.pace)))
            return usage();
        if (arg == "--stats")
            server.statspath = value;
        if (arg == "--trace")
            tracepath = value;
    }
    if (plain.size() != 2)
        return usage();
    if (!settle(server.bad, server.asked)) {
        std::fprintf(stderr, "kov_badblocks: more than %llu bad sectors\n",
                     static_cast<unsigned long long>(maxbadsectors));
        return 2;
    }
    server.image = ::open(plain[0].c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (server.image < 0 || fstat(server.image, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "kov_badblocks: %s: not a readable file\n", plain[0].c_str());
        return 1;
    }
    server.size = std::uint64_t(st.st_size);
    // Appending, so that a reader may empty the trace while it is written.
    const int tracefd =
        tracepath.empty() ? -1 : ::open(tracepath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (!tracepath.empty() && (tracefd < 0 || !(server.trace = fdopen(tracefd, "a")))) {
        std::fprintf(stderr, "kov_badblocks: %s: %s\n", tracepath.c_str(), std::strerror(errno));
        return 1;
    }

    fuse_operations ops{};
    ops.getattr = getattr;
    ops.readdir = readdir;
    ops.open = open;
    ops.release = release;
    ops.read = read;
    ops.destroy = destroy;
    // auto_unmount: the mount goes with the server, however it ends.
    std::vector<const char*> fuseargs{argv[0], "-o", "ro,fsname=kov_badblocks,subtype=badblocks,auto_unmount"};
    fuse_args args = FUSE_ARGS_INIT(int(fuseargs.size()), const_cast<char**>(fuseargs.data()));
    fuse* f = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (!f) {
        fuse_opt_free_args(&args);
        return 1;
    }
    int status = 1;
    if (fuse_mount(f, plain[1].c_str()) == 0) {
        if (fuse_set_signal_handlers(fuse_get_session(f)) == 0) {
            std::printf("mounted\n");
            std::fflush(stdout);
            fuse_loop_config* config = fuse_loop_cfg_create();
            status = fuse_loop_mt(f, config) == 0 ? 0 : 1;
            fuse_loop_cfg_destroy(config);
            fuse_remove_signal_handlers(fuse_get_session(f));
        }
        fuse_unmount(f);
    }
    fuse_destroy(f);
    fuse_opt_free_args(&args);
    if (server.trace)
        std::fclose(server.trace);
    return status;
}
