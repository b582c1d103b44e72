#include "rebuild/waitingfiles.h"

#include "output/filecontents.h"

namespace rebuild {

WAITINGFILES::WAITINGFILES(const KOVCore& owner, FileSaver& settler, ClusterClaims* shared)
    : core(owner), saver(settler), claims(shared)
{
}

void WAITINGFILES::startmet(std::uint32_t start) { starts.insert(start); }

void WAITINGFILES::startgone(std::uint32_t start)
{
    if (const auto at = starts.find(start); at != starts.end())
        starts.erase(at);
}

void WAITINGFILES::proven(const std::vector<DATARUN>& runs)
{
    if (!claims)
        return;
    if (sound.clusters() != claims->clusters())
        sound.reset(claims->clusters());
    sound.mark(runs);
}

void WAITINGFILES::hold(HELDFILE h)
{
    // A file that begins as its format does is more likely the right file
    // damaged (or a format the check does not know yet) than a wrong
    // start: another start must not take its place.
    if (h.record && filecontents::plausible(core, h.file, family(h))) {
        starts.insert(h.file.startcluster);
        saver.report(h.file, *h.record);
        return;
    }
    held.push_back(std::move(h));
}

bool WAITINGFILES::wait(HELDFILE h)
{
    if (!maywait(h))
        return false;
    proofwait.push_back(UNPROVEN{std::move(h), {}, false});
    return true;
}

bool WAITINGFILES::maywait(const HELDFILE& h)
{
    const std::size_t bytes = sizeof(UNPROVEN) + h.raw.size() + h.file.dataruns.size() * sizeof(DATARUN);
    if (waitingbytes + bytes > waitinglimit)
        return false;
    waitingbytes += bytes;
    return true;
}

verify::family WAITINGFILES::family(const HELDFILE& h) const
{
    // The name says what the file was; the damaged contents only when the
    // name names no checked format.
    const verify::family named = verify::familyofextension(saver.describe(h.file, h.around(), false).name);
    return named != verify::family::none ? named : h.kind;
}

void WAITINGFILES::finish()
{
    while (secondchancestep()) {
    }
    while (roundstep()) {
    }
}

}  // namespace rebuild
