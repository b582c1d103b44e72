// The exFAT volume a recovery run reads: opened read-only, laid out for the
// core (so that the saver and the content checks read its cluster heap),
// with its walk and, with deep, its scan of the free clusters. The run's
// phases step them (run/phases/exfatphases).
#pragma once

#include "exfat/deep.h"
#include "exfat/walk.h"
#include "platform/volumesource.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

class KOVCore;

namespace exfat {

struct EXFATRUNCOUNTS {
    WALKCOUNTS walk;
    std::uint64_t deepclusters = 0;  // clusters the deep scan read
    std::uint64_t deepsets = 0;      // entry sets it found
    std::uint64_t deepdropped = 0;   // files of its sets that could not be rebuilt
};

class EXFATRUN {
public:
    // core outlives this.
    EXFATRUN(KOVCore& core, bool deep);
    ~EXFATRUN();
    EXFATRUN(const EXFATRUN&) = delete;
    EXFATRUN& operator=(const EXFATRUN&) = delete;

    // Opens source read-only as an exFAT volume and readies the run: the
    // core's diskparm then reads the cluster heap (what the saver and the
    // content checks read through). Empty on success, else why the volume
    // cannot be read.
    QString begin(const platform::VolumeSource& source);

    // The walk (after a successful begin) and the deep scan (with deep).
    EXFATWALK& walker() { return *walk; }
    EXFATDEEP* deepscan() { return scan.get(); }
    const EXFATDEEP* deepscan() const { return scan.get(); }
    std::uint64_t clusterbytes() const { return volume.clusterbytes(); }

    EXFATRUNCOUNTS counts() const;
    // The volume's, the walk's and the deep scan's notes.
    QStringList notes() const;
    QString label() const { return volume.label; }
    // For a scan of what the run leaves (carving): the heap clusters
    // (lcn 0 is cluster 2), and whether one is allocated, lies outside the
    // readable heap or holds a folder's entries the run read or found.
    std::uint64_t heapclusters() const { return volume.heapclusters(); }
    bool holdsentries(std::uint64_t lcn) const;

private:
    KOVCore& core;
    bool deep;
    platform::volhandle handle = nullptr;
    EXFATVOLUME volume;
    std::unique_ptr<EXFATWALK> walk;
    std::unique_ptr<EXFATDEEP> scan;
};

// The label of the exFAT volume at source (its root directory's Volume
// Label entry); empty when it has none or cannot be read.
QString volumelabel(const platform::VolumeSource& source);

}  // namespace exfat
