// libFuzzer target: finding a layout from a source's data area. The input
// is the source, read from memory: its "."/".." pairs are found, the
// layouts chosen (one inside a file of another left out), the first laid
// out table-less and deep-scanned to its end with the second as the
// earlier layout whose directory pieces it leaves alone, listing what it
// would save. Besides the sanitizers it stops on a layout outside the
// source or of a cluster size FAT cannot have, and on a file whose runs
// leave the layout's clusters.
#include "deep/deepscan.h"
#include "layout/adopt.h"
#include "layout/earlier.h"
#include "layout/layoutsearch.h"
#include "model/kovcore.h"
#include "output/clusterclaims.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <QString>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Far above the steps of any input of max_len bytes.
constexpr long stepcap = 4000000;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_layout: %s\n", what);
    std::abort();
}

class LayoutCore : public KOVCore {
public:
    void showwarning(const QString&) override {}
    void showinformation(const QString&) override {}
    void addvolumeitem(const platform::VolumeSource&) override {}
    void setstatuslines(const QString&, const QString&, const QString&) override {}
    void setbuttontext(const QString&) override {}
};

int imagefd = -1;
LayoutCore* core = nullptr;

void checklayout(const layout::FOUNDLAYOUT& f, std::uint64_t size)
{
    if (f.clustersize < 512 || f.clustersize > (256u << 10) || (f.clustersize & (f.clustersize - 1)) != 0)
        fail("a found layout has a cluster size FAT cannot have");
    if (f.datastart >= size || f.datastart + f.clusters * f.clustersize > size ||
        f.directories < layout::minagree || f.rootbytes > f.datastart)
        fail("a found layout lies outside the source");
}

void run(const QString& path, std::uint64_t size)
{
    const platform::volhandle handle = platform::openpath(path);
    if (handle == platform::invalidhandle())
        fail("cannot open the image");
    layout::LAYOUTSEARCH search(handle, size);
    for (long steps = 0; search.step();)
        if (++steps > stepcap)
            fail("the search does not end");
    const std::vector<layout::FOUNDLAYOUT> found = search.layouts();
    if (found.size() > 2)
        fail("more than two layouts");
    for (const layout::FOUNDLAYOUT& f : found)
        checklayout(f, size);
    core->hdisk = handle;
    core->sourcebytes = size;
    if (!found.empty() && layout::adoptlayout(*core, found.front())) {
        ClusterClaims claims(core->bitmap.size());
        deep::DEEPSCAN scan(*core, claims);
        std::shared_ptr<layout::EARLIERDIRECTORIES> pieces;
        if (found.size() > 1) {
            pieces = std::make_shared<layout::EARLIERDIRECTORIES>(*core, found[1]);
            scan.foreign = [pieces](std::uint64_t lcn) { return pieces->inside(lcn); };
        }
        if (scan.beginscan())
            for (long steps = 0; scan.scanstep();)
                if (++steps > stepcap)
                    fail("the deep scan does not end");
        scan.beginrecover();
        long steps = 0;
        const auto save = [&](const deep::DEEPCANDIDATE& c) {
            for (const DATARUN& r : c.file.dataruns)
                if (r.length == 0 || r.lcn + r.length > core->clusterend - 2)
                    fail("a file's runs leave the layout's clusters");
        };
        while (scan.recoverstep(save, [](const deep::DEEPCANDIDATE&, const QString&) {}))
            if (++steps > stepcap)
                fail("the deep scan's files do not end");
        if (found.size() > 1) {
            const std::vector<DATARUN> gone = layout::overwritten(*core, claims, found[1]);
            for (const DATARUN& r : gone)
                if (r.lcn + r.length > found[1].clusters)
                    fail("the earlier layout's overwritten clusters leave it");
        }
    }
    core->hdisk = nullptr;
    platform::closesource(handle);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    platform::setblockdevicesenabled(false);
    core = new LayoutCore;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 512)
        return 0;
    if (imagefd < 0 && (imagefd = memfd_create("kovlayout", MFD_CLOEXEC)) < 0)
        fail("memfd_create failed");
    if (ftruncate(imagefd, 0) != 0 || pwrite(imagefd, data, size, 0) != ssize_t(size))
        fail("cannot write the image");
    run(QStringLiteral("/proc/self/fd/%1").arg(imagefd), size);
    return 0;
}
