// The files the saver did not settle at once (with the content checks),
// settled by the phases after the walk: the second chances of files whose
// FAT32 start had an estimated high word (a search over the other high
// words by content), and the rounds that rebuild a file whose check failed
// around the clusters of the files that proved themselves.
#pragma once

#include "model/kovcore.h"
#include "output/clusterclaims.h"
#include "output/filesaver.h"
#include "output/waitroom.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

namespace rebuild {

class WAITINGFILES : public WAITROOM {
public:
    // Settles through saver; claims (when given) outlive this: a start
    // chosen by content claims the runs it rebuilds, its estimate lets go of
    // its own, and no candidate takes a claimed cluster.
    WAITINGFILES(const KOVCore& core, FileSaver& saver, ClusterClaims* claims);

    void startmet(std::uint32_t start) override;
    void startgone(std::uint32_t start) override;
    void proven(const std::vector<DATARUN>& runs) override;
    void hold(HELDFILE held) override;
    bool wait(HELDFILE held) override;

    // One held file's second chance (once every deleted entry's start is
    // known): the one contents, among the starts with its low word whose
    // runs are free, unclaimed and no other entry's start, that its format
    // verifies, saved with startbycontent; a held estimate's file stays
    // where it was saved (damaged/) also when another start wins, and a
    // dropped entry no start gives waits for proof. False when none is held.
    bool secondchancestep();

    // One file of the rounds around proven files; false when none waits.
    // Each round rebuilds every waiting file from its start (with an
    // estimated high word, from every start with its low word that is no
    // other entry's) on the free clusters that no live file and no file
    // settled outside damaged/ holds; one that then verifies (of a format
    // whose check sees a foreign cluster; of several starts, one contents)
    // is saved, verified and rebuiltaround, and claims its clusters. A file
    // is checked again only when its runs changed. A round that proves none
    // ends them, and there are at most proofrounds: each round costs a
    // rebuild and at most one check per waiting file, so the rounds cost
    // proofrounds times one pass over what waits. Then the files still
    // waiting are saved as the walk rebuilt them (damaged/), and dropped
    // entries stay dropped.
    bool roundstep();

    // Both to the end: the second chances, then the rounds.
    void finish();

    // Files still waiting.
    std::size_t waiting() const { return held.size() - nextheld + proofwait.size() - nextproof; }

    static constexpr unsigned proofrounds = 8;

private:
    struct UNPROVEN {
        HELDFILE held;
        QByteArray tried;  // a digest of the runs last checked; empty: none yet
        bool settled = false;
    };
    // The family a held file is judged by: its name's, else its contents'.
    verify::family family(const HELDFILE& held) const;
    std::optional<FILEPARM> secondchance(const HELDFILE& held);
    // The file rebuilt around the proven files' clusters, saved when it
    // verifies; true when it was.
    bool rebuildaround(UNPROVEN& waiting);
    // What waits is held as runs and slots, within waitinglimit bytes.
    bool maywait(const HELDFILE& held);

    const KOVCore& core;
    FileSaver& saver;
    ClusterClaims* claims;
    // With claims: the clusters of the files settled outside damaged/.
    ClusterClaims sound;
    // Start clusters of the deleted entries met so far, once per entry: a
    // second chance never takes another entry's start.
    std::unordered_multiset<std::uint32_t> starts;
    std::vector<HELDFILE> held;
    std::size_t nextheld = 0;
    std::vector<UNPROVEN> proofwait;  // in walk order
    std::size_t nextproof = 0;
    std::size_t waitingbytes = 0;
    static constexpr std::size_t waitinglimit = 64u << 20;
    unsigned proofround = 0;    // the round under way, from 1; 0: none begun; proofrounds + 1: settling the rest
    bool proofchanged = false;  // the round under way proved a file
};

// The one contents the candidates that proved themselves give: copies of
// one contents are one answer, two that differ are none.
struct ONEANSWER {
    std::optional<FILEPARM> winner;
    QByteArray hash;
    // False once two candidates differ.
    bool offer(FILEPARM& candidate, const QByteArray& digest)
    {
        if (winner)
            return digest == hash;
        winner = std::move(candidate);
        hash = digest;
        return true;
    }
};

}  // namespace rebuild
