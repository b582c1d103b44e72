// The folders below the output directory that files go to: the reserved
// top folders (lost/, damaged/) and the lost trees' folders under them.
// Every folder is made and entered without following a symbolic link. A
// folder name that a file (or a link, which is refused with a message)
// already has takes "(n)" as a file name does; a name that is a folder
// already (an earlier run's) is used again. The top folders are chosen
// before any file of the run is saved, so no file takes their names.
#pragma once

#include <QHash>
#include <QPair>
#include <QString>
#include <cstdint>
#include <vector>

class KOVCore;
namespace platform {
class OUTFOLDER;
}

class OUTPUTTREE {
public:
    // Folders below core.recoverdir; core outlives this.
    explicit OUTPUTTREE(KOVCore& core);

    // Forgets every choice: a new run (core.recoverdir may have changed).
    void clear();

    // Chooses the top folder name now: name, or name(n) when something
    // that is no folder (a file, a link) has it, and keeps the choice from
    // every file of the run (core.freenames). The folder itself is made
    // when the first file goes into it.
    void reservetop(const QString& name);

    // The directory for subdir ("" or names separated and ended by '/'):
    // core.recoverdir and the name on disk of each folder, ending with a
    // separator; folders are made as needed. Folders whose path would
    // leave no room for a file name below them are not made: the deepest
    // folder kept stands in for them. Empty when a folder cannot be made.
    QString folder(const QString& subdir);

private:
    struct NODE {
        std::uint32_t parent = 0;
        QString wanted;  // the name subdir gives it
        QString name;    // its name on disk
        bool made = false;
    };
    // The child of parent wanted in the open folder at (whose path is
    // parentpath), chosen and made now; at becomes that child. -1 when no
    // name can be made.
    std::int64_t choose(std::uint32_t parent, const QString& parentpath, const QString& wanted,
                        platform::OUTFOLDER& at);
    std::uint32_t add(std::uint32_t parent, const QString& wanted, const QString& name, bool made);
    // Drops the nodes below the top folders once they take more than the
    // cap: they are chosen again from what is on disk, with the same result.
    void trim();

    KOVCore& core;
    std::vector<NODE> nodes;  // nodes[0]: the output directory
    QHash<QPair<std::uint32_t, QString>, std::uint32_t> children;  // (parent, wanted) -> node
    std::size_t tops = 1;  // the output directory and the reserved top folders
    std::uint64_t bytes = 0;
    int extra = 0;  // bytes the absolute path of the output directory adds to it
};
