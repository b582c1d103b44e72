#include "model/fileparm.h"

#include <cstring>

namespace {

// Copies every field but parent.
void copyfields(FILEPARM& dst, const FILEPARM& src)
{
    dst.recordedsize = src.recordedsize;
    dst.createtime = src.createtime;
    dst.writetime = src.writetime;
    dst.namelen = src.namelen;
    dst.size = src.size;
    dst.dataruns = src.dataruns;
    if (src.namelen != 0 && src.name) {
        dst.name = std::make_unique<char[]>(std::size_t(src.namelen) + 1);
        std::memcpy(dst.name.get(), src.name.get(), std::size_t(src.namelen) + 1);
    } else {
        dst.name.reset();
    }
    dst.dirbuf = src.dirbuf;
    dst.isdir = src.isdir;
    dst.entryindex = src.entryindex;
    dst.clusterhigh = src.clusterhigh;
    dst.dialog = src.dialog;
    dst.entryclusterhigh = src.entryclusterhigh;
    dst.startcluster = src.startcluster;
    dst.deleted = src.deleted;
    dst.validsize = src.validsize;
    dst.modifiedms = src.modifiedms;
}

// Releases a chain level by level: a deep tree must not recurse once per
// level. A record going away hands its parent to the release under way, if
// any, instead of releasing it inside its own destructor. Records live on
// one thread; the list is never destroyed, so that records destroyed at
// exit still find it.
void releasechain(std::shared_ptr<const FILEPARM> chain)
{
    static bool releasing = false;
    static auto& pending = *new std::vector<std::shared_ptr<const FILEPARM>>();
    if (!chain)
        return;
    pending.push_back(std::move(chain));
    if (releasing)
        return;
    releasing = true;
    while (!pending.empty()) {
        std::shared_ptr<const FILEPARM> next = std::move(pending.back());
        pending.pop_back();
        next.reset();  // the last owner: its destructor queues its parent
    }
    releasing = false;
}

}  // namespace

FILEPARM::~FILEPARM() { releasechain(std::move(parent)); }

FILEPARM& FILEPARM::operator=(const FILEPARM& other)
{
    if (this == &other)
        return *this;
    // other may lie inside this record's own chain (a record replaced by
    // its parent): take everything from it before the old chain goes.
    std::shared_ptr<const FILEPARM> newparent = other.parent;
    copyfields(*this, other);
    std::shared_ptr<const FILEPARM> old = std::move(parent);
    parent = std::move(newparent);
    releasechain(std::move(old));
    return *this;
}

void FILEPARM::clear()
{
    name.reset();
    dirbuf.reset();
    dataruns.clear();
    releasechain(std::move(parent));
    namelen = 0;
    size = 0;
    isdir = 0;
    entryindex = 0;
    clusterhigh = 0;
    entryclusterhigh = 0;
    startcluster = 0;
    deleted = 0;
    validsize = ~std::uint64_t(0);
}

void FILEPARM::setname(const QByteArray& bytes)
{
    namelen = std::int32_t(bytes.size());
    if (namelen == 0) {
        name.reset();
        return;
    }
    name = std::make_unique<char[]>(std::size_t(namelen) + 1);
    std::memcpy(name.get(), bytes.constData(), std::size_t(namelen));
    name[std::size_t(namelen)] = '\0';
}

std::uint64_t FILEPARM::vcn2lcn(std::uint64_t vcn) const
{
    for (const DATARUN& run : dataruns)
        if (run.vcn <= vcn && vcn - run.vcn < run.length)
            return run.lcn + (vcn - run.vcn);
    return ~std::uint64_t(0);
}
