// Where the saver hands the files it does not settle at once (with the
// content checks): a damaged estimate or a dropped entry waits for its
// second chance, a file whose check failed for the files that prove
// themselves. The later phases of the run settle them through the saver.
#pragma once

#include "model/kovcore.h"
#include "output/saverecord.h"
#include "verify/verify.h"

#include <cstdint>
#include <optional>
#include <vector>

// A copy of a found file, with the slots its name is read from.
struct HELDFILE {
    FILEPARM file;
    std::vector<unsigned char> raw;  // the entry's slot and the long-name slots before it
    QString subdir;
    std::optional<SAVERECORD> record;  // null for a dropped entry
    verify::family kind;

    // file without its parent, with the entry's slot and the 20 before it
    // (the most a long name takes).
    static HELDFILE keep(const FILEPARM& file, const DIRSLOTS& around, const QString& subdir,
                         std::optional<SAVERECORD> record, verify::family kind);
    // raw as the directory a name is read from.
    DIRSLOTS around() const
    {
        return {raw.empty() ? nullptr : raw.data(), raw.size() / 32, raw.empty() ? 0 : raw.size() / 32 - 1};
    }
};

class WAITROOM {
public:
    virtual ~WAITROOM() = default;
    // A deleted entry's start cluster, once per entry: no second chance
    // takes it for another entry.
    virtual void startmet(std::uint32_t start) = 0;
    // An estimate that is no start of its entry after all.
    virtual void startgone(std::uint32_t start) = 0;
    // A file settled outside damaged/: a rebuild around proven files passes
    // over its clusters.
    virtual void proven(const std::vector<DATARUN>& runs) = 0;
    // A damaged estimate (record set) or a dropped entry with an estimated
    // high word, for its second chance once every entry's start is known.
    virtual void hold(HELDFILE held) = 0;
    // A file to be rebuilt around the proven files; false when it may not
    // wait (what waits is bounded), and the saver settles it at once.
    virtual bool wait(HELDFILE held) = 0;

protected:
    WAITROOM() = default;
    WAITROOM(const WAITROOM&) = default;
    WAITROOM& operator=(const WAITROOM&) = default;
};
