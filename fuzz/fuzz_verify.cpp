// The fuzz entry point of one family's content check. Built once per family
// with KOV_FUZZ_FAMILY set to its name (the libFuzzer targets
// fuzz_verify_jpeg, fuzz_verify_zip ...); without it, for the replay of the
// seeds, the family comes from the environment variable KOV_FUZZ_FAMILY.
//
// Besides the sanitizers' faults it aborts when the check breaks its
// promises: a file that canbegin rejects must be damaged, a verified one
// must pass canbegin and mayverify (read here from the input itself), and
// carving's end (extent) lies within the input or asks for more than it.
#include "verify/verify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

using verify::family;

struct NAMED {
    const char* name;
    family f;
};

constexpr NAMED families[] = {
    {"jpeg", family::jpeg}, {"png", family::png}, {"gif", family::gif},   {"bmp", family::bmp},
    {"zip", family::zip},   {"gzip", family::gzip}, {"pdf", family::pdf}, {"riff", family::riff},
    {"mp4", family::mp4},   {"mp3", family::mp3}, {"ole2", family::ole2}, {"text", family::text},
    {"tiff", family::tiff}, {"raf", family::raf}, {"crw", family::crw},   {"ts", family::ts},
};

family target = family::none;

[[noreturn]] void broken(const char* what)
{
    std::fprintf(stderr, "fuzz_verify: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
#ifdef KOV_FUZZ_FAMILY
    const char* name = KOV_FUZZ_FAMILY;
#else
    const char* name = std::getenv("KOV_FUZZ_FAMILY");
#endif
    for (const NAMED& n : families)
        if (name && std::strcmp(name, n.name) == 0)
            target = n.f;
    if (target == family::none) {
        std::fprintf(stderr, "fuzz_verify: KOV_FUZZ_FAMILY names no family: %s\n", name ? name : "(unset)");
        std::exit(2);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const verify::bytes d(data, size);
    // The second byte of the input, folded, picks the cluster size for the
    // padding rule: unknown, 512 bytes or 32 KiB.
    const std::uint32_t cluster = size > 1 ? std::uint32_t(data[1] % 3 == 0 ? 0 : data[1] % 3 == 1 ? 512 : 32768) : 0;
    const verify::verdict v = verify::check(target, d, cluster);
    const bool begins = verify::canbegin(target, d.first(std::min<std::size_t>(size, 16)));
    if (!begins && v != verify::verdict::damaged)
        broken("canbegin rejected a file that is not damaged");
    if (v == verify::verdict::verified) {
        int reads = 0;
        const verify::reader read = [d, &reads](std::uint64_t offset, std::span<unsigned char> into) {
            ++reads;
            if (offset > d.size() || d.size() - offset < into.size())
                return false;
            if (!into.empty())
                std::memcpy(into.data(), d.data() + offset, into.size());
            return true;
        };
        if (!verify::mayverify(target, size, read))
            broken("mayverify rejected a verified file");
        if (reads > 70)
            broken("mayverify read more than it promises");
    }
    // Carving's end: within the bytes when found, past them when more are wanted.
    const verify::EXTENT end = verify::extent(target, d, cluster);
    if (end.v == verify::verdict::verified && (end.end == 0 || end.end > size))
        broken("extent found an end outside the bytes");
    if (end.want != 0 && end.want <= size)
        broken("extent wants bytes it has");
    return 0;
}
