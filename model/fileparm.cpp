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
}

// Releases a chain level by level: a deep tree must not recurse once per
// level.
void releasechain(std::unique_ptr<FILEPARM> chain)
{
    while (chain)
        chain = std::move(chain->parent);
}

std::unique_ptr<FILEPARM> copychain(const FILEPARM* src)
{
    std::unique_ptr<FILEPARM> head;
    FILEPARM* tail = nullptr;
    for (; src; src = src->parent.get()) {
        auto rec = std::make_unique<FILEPARM>();
        copyfields(*rec, *src);
        FILEPARM* raw = rec.get();
        if (tail)
            tail->parent = std::move(rec);
        else
            head = std::move(rec);
        tail = raw;
    }
    return head;
}

}  // namespace

FILEPARM::~FILEPARM() { releasechain(std::move(parent)); }

FILEPARM& FILEPARM::operator=(const FILEPARM& other)
{
    if (this == &other)
        return *this;
    // other may lie inside this record's own chain (a record replaced by
    // its parent): copy everything before the old chain goes.
    std::unique_ptr<FILEPARM> newparent = copychain(other.parent.get());
    copyfields(*this, other);
    std::unique_ptr<FILEPARM> old = std::move(parent);
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
