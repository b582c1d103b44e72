// One recovery run on an exFAT volume, in small steps that any front end
// can drive (to the end at once, or a few per timer slice): the walk, one
// directory read or one file saved a step, then with deep the scan of the
// free clusters, one read a step, and the files it finds, one saved a step.
// Files go through the front end's FileSaver, which names them, checks
// them and writes them below its core's recoverdir (or lists them).
#pragma once

#include "exfat/deep.h"
#include "exfat/walk.h"
#include "platform/volumesource.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

class FileSaver;
class KOVCore;

namespace exfat {

struct EXFATRUNCOUNTS {
    WALKCOUNTS walk;
    std::uint64_t deepclusters = 0;  // clusters the deep scan read
    std::uint64_t deepsets = 0;      // entry sets it found
    std::uint64_t deepfiles = 0;     // files it handed to the saver
    std::uint64_t deepdropped = 0;   // files of its sets that could not be rebuilt
};

class EXFATRUN {
public:
    enum class PHASE { idle, walk, deepscan, deeprecover, done };

    // core and saver outlive this; saver saves through core.
    EXFATRUN(KOVCore& core, FileSaver& saver, bool deep);
    ~EXFATRUN();
    EXFATRUN(const EXFATRUN&) = delete;
    EXFATRUN& operator=(const EXFATRUN&) = delete;

    // Opens source read-only as an exFAT volume and readies the run: the
    // core's diskparm then reads the cluster heap (what the saver and the
    // content checks read through). Empty on success, else why the volume
    // cannot be read (and the run is finished).
    QString begin(const platform::VolumeSource& source);

    // One small unit of work. False once the run is finished (then the
    // saver's finish() has been called).
    bool step();
    bool finished() const { return stage == PHASE::done || stage == PHASE::idle; }
    PHASE phase() const { return stage; }

    // The deep scan's progress: clusters of the heap passed, of all.
    std::uint64_t deepdone() const;
    std::uint64_t deeptotal() const;

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
    void save(const EXFATFILE& file);

    KOVCore& core;
    FileSaver& saver;
    bool deep;
    PHASE stage = PHASE::idle;
    platform::volhandle handle = nullptr;
    EXFATVOLUME volume;
    std::unique_ptr<EXFATWALK> walk;
    std::unique_ptr<EXFATDEEP> scan;
    std::uint64_t deepsaved = 0;
};

// The label of the exFAT volume at source (its root directory's Volume
// Label entry); empty when it has none or cannot be read.
QString volumelabel(const platform::VolumeSource& source);

}  // namespace exfat
