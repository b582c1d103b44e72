// The rounds that rebuild a file whose check failed around the clusters of
// the files that proved themselves.
#include "output/filecontents.h"
#include "rebuild/aroundproven.h"
#include "rebuild/waitingfiles.h"

#include <QCryptographicHash>

namespace rebuild {

bool WAITINGFILES::roundstep()
{
    if (proofround == 0)
        proofround = 1;
    for (;;) {
        if (nextproof < proofwait.size()) {
            UNPROVEN& u = proofwait[nextproof++];
            if (u.settled)
                continue;
            if (proofround <= proofrounds) {
                proofchanged = rebuildaround(u) || proofchanged;
                return true;
            }
            // Not proven: as the walk rebuilt it, into damaged/; a dropped
            // entry stays dropped.
            u.settled = true;
            if (u.held.record) {
                if (claims)
                    claims->mark(u.held.file.dataruns);
                saver.settlewaited(u.held.file, *u.held.record, u.held.subdir, u.held.around());
            }
            return true;
        }
        if (proofwait.empty())
            return false;
        if (proofround > proofrounds) {
            proofwait.clear();
            nextproof = 0;
            waitingbytes = 0;
            proofround = 0;
            return false;
        }
        // A round ends: another only when this one proved a file, whose
        // clusters may be what kept another from proving itself.
        if (!proofchanged || proofround == proofrounds)
            proofround = proofrounds + 1;
        else
            ++proofround;
        proofchanged = false;
        nextproof = 0;
    }
}

bool WAITINGFILES::rebuildaround(UNPROVEN& u)
{
    const FILEPARM& f = u.held.file;
    const verify::family kind = family(u.held);
    const std::uint64_t size = f.recordedsize;
    // A check blind to a foreign cluster proves nothing about the clusters
    // a rebuild chose.
    if (kind == verify::family::none || verify::blindtoforeign(kind) || size == 0 || size > filecontents::wholereadlimit)
        return false;
    // The start, and for an estimated high word every other one with its
    // low word that is no other entry's start.
    std::vector<std::uint32_t> candidates{f.startcluster};
    if (saver.estimated(f)) {
        const std::uint32_t low = f.startcluster & 0xFFFF;
        for (std::uint64_t high = 0; high <= 0xFFFF; ++high) {
            const std::uint64_t start = high << 16 | low;
            if (start >= core.fatentries)
                break;
            if (start >= 2 && start != f.startcluster && starts.count(std::uint32_t(start)) == 0)
                candidates.push_back(std::uint32_t(start));
        }
    }
    // Files that failed their check gave way: their clusters are not taken.
    const auto taken = [this](std::uint64_t lcn) { return core.inuse(lcn) != 0 || (claims && sound.test(lcn)); };
    std::vector<FILEPARM> rebuilt;
    // Every candidate's runs, each closed by an empty run: a digest, so
    // that what waits holds no copy of them.
    QCryptographicHash tried(QCryptographicHash::Sha256);
    for (const std::uint32_t start : candidates) {
        FILEPARM candidate(f);
        candidate.startcluster = start;
        candidate.clusterhigh = std::uint16_t(start >> 16);
        candidate.size = size;
        // A start that is taken, or whose first bytes cannot begin the
        // format, is passed over before its runs are rebuilt.
        if (core.getfatentry(start) == 0 && !taken(start - 2)) {
            candidate.dataruns = {DATARUN{start - 2, 1, 0}};
            unsigned char head[16];
            std::uint64_t got = 0;
            if (candidate.readfile(core.diskparm, 0, sizeof head, head, &got) &&
                verify::canbegin(kind, verify::bytes(head, std::size_t(got))))
                candidate.dataruns = rebuild::aroundtaken(core, start, size, taken);
            else
                candidate.dataruns.clear();
        }
        const DATARUN close{};
        tried.addData(QByteArrayView(reinterpret_cast<const char*>(candidate.dataruns.data()),
                                     qsizetype(candidate.dataruns.size() * sizeof(DATARUN))));
        tried.addData(QByteArrayView(reinterpret_cast<const char*>(&close), qsizetype(sizeof close)));
        // The walk's own rebuild failed already.
        if (candidate.dataruns.empty() ||
            (u.held.record && start == f.startcluster && candidate.dataruns == f.dataruns))
            continue;
        rebuilt.push_back(std::move(candidate));
    }
    // Nothing taken since the last round: the same runs prove no more.
    const QByteArray digest = tried.result();
    if (digest == u.tried)
        return false;
    u.tried = digest;
    ONEANSWER answer;
    for (FILEPARM& candidate : rebuilt) {
        const std::optional<QByteArray> hash = filecontents::provenhash(core, candidate, kind);
        if (hash && !answer.offer(candidate, *hash))
            return false;
    }
    std::optional<FILEPARM>& winner = answer.winner;
    if (!winner)
        return false;
    if (claims)
        claims->mark(winner->dataruns);
    starts.insert(winner->startcluster);
    u.settled = true;
    const DIRSLOTS around = u.held.around();
    SAVERECORD r = saver.describe(*winner, around, false);
    r.verdict = verify::verdict::verified;
    r.rebuiltaround = true;
    if (winner->startcluster != f.startcluster) {
        r.startbycontent = true;
        r.estimatedstart = f.startcluster;
    }
    saver.settlewaited(*winner, r, u.held.subdir, around);
    return true;
}

}  // namespace rebuild
