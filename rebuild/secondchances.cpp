// The second chance of a FAT32 entry whose start's high word was erased:
// the other high words, tried by content.
#include "output/filecontents.h"
#include "rebuild/waitingfiles.h"

namespace rebuild {

std::optional<FILEPARM> WAITINGFILES::secondchance(const HELDFILE& h)
{
    const FILEPARM& f = h.file;
    const verify::family kind = family(h);
    const std::uint64_t size = f.recordedsize;
    if (kind == verify::family::none || size == 0)
        return std::nullopt;
    const std::uint32_t low = f.startcluster & 0xFFFF;
    ONEANSWER answer;
    for (std::uint32_t high = 0; high <= 0xFFFF; ++high) {
        const std::uint64_t start = std::uint64_t(high) << 16 | low;
        if (start >= core.fatentries)
            break;
        if (start < 2 || start == f.startcluster || starts.count(std::uint32_t(start)) != 0 ||
            core.getfatentry(std::uint32_t(start)) != 0 || core.inuse(start - 2) != 0 ||
            (claims && claims->test(start - 2)))
            continue;
        // The start cluster's first bytes rule out most candidates before
        // their runs are rebuilt and read.
        FILEPARM candidate(f);
        candidate.startcluster = std::uint32_t(start);
        candidate.clusterhigh = std::uint16_t(high);
        candidate.dataruns = {DATARUN{start - 2, 1, 0}};
        candidate.size = size;
        unsigned char head[16];
        std::uint64_t got = 0;
        if (!candidate.readfile(core.diskparm, 0, sizeof head, head, &got) ||
            !verify::canbegin(kind, verify::bytes(head, std::size_t(got))))
            continue;
        candidate.dataruns = core.fatrecoverdatarun(std::uint32_t(start), size);
        // Clusters another saved file holds are that file's, not this one's.
        if (candidate.dataruns.empty() || core.clusterusage(candidate.dataruns) != 0 ||
            core.gettotclustersize(candidate.dataruns) < size || (claims && claims->any(candidate.dataruns)))
            continue;
        // Two copies of one file (saved twice, deleted twice) are one answer.
        const std::optional<QByteArray> hash = filecontents::provenhash(core, candidate, kind);
        if (hash && !answer.offer(candidate, *hash))
            return std::nullopt;
    }
    return answer.winner;
}

bool WAITINGFILES::secondchancestep()
{
    if (nextheld >= held.size()) {
        held.clear();
        nextheld = 0;
        return false;
    }
    HELDFILE h = std::move(held[nextheld++]);
    // The estimate's clusters are no other file's: the search may use them.
    if (h.record && claims)
        claims->release(h.file.dataruns);
    std::optional<FILEPARM> better = secondchance(h);
    // A dropped entry no other start gives may prove itself rebuilt
    // around the proven files.
    if (!better && !h.record && !verify::blindtoforeign(family(h)) && maywait(h)) {
        proofwait.push_back(UNPROVEN{std::move(h), {}, false});
        return true;
    }
    if (h.record) {
        // Its file stays where it was saved (damaged/), also when another
        // start wins, and keeps its clusters when none does.
        if (!better && claims)
            claims->mark(h.file.dataruns);
        saver.report(h.file, *h.record, !better);
    }
    if (!better)
        return true;
    if (claims)
        claims->mark(better->dataruns);
    starts.insert(better->startcluster);
    const DIRSLOTS around = h.around();
    SAVERECORD r = saver.describe(*better, around, false);
    r.startbycontent = true;
    r.estimatedstart = h.file.startcluster;
    saver.settlewaited(*better, r, h.subdir, around);
    return true;
}

}  // namespace rebuild
