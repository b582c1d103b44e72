#include "output/outputtree.h"

#include "model/kovcore.h"
#include "platform/outputfolder.h"
#include "scan/recoveredname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Memory the chosen folder names may take before they are forgotten.
constexpr std::uint64_t treecap = 4u << 20;
constexpr std::uint64_t pernode = 96;
// Room kept for the longest "(n)" a name search adds.
constexpr int suffixroom = 7;

}  // namespace

OUTPUTTREE::OUTPUTTREE(KOVCore& owner) : core(owner) { clear(); }

void OUTPUTTREE::clear()
{
    // The length rule holds for the absolute path, whatever the user typed.
    extra = int(QFile::encodeName(QFileInfo(core.recoverdir).absoluteFilePath()).size() -
                QFile::encodeName(core.recoverdir).size()) + 1;
    nodes.assign(1, NODE{0, QString(), QString(), true});
    children.clear();
    tops = 1;
    bytes = 0;
}

std::uint32_t OUTPUTTREE::add(std::uint32_t parent, const QString& wanted, const QString& name, bool made)
{
    const auto index = std::uint32_t(nodes.size());
    nodes.push_back(NODE{parent, wanted, name, made});
    children.insert({parent, wanted}, index);
    bytes += pernode + std::uint64_t(wanted.size() + name.size()) * 2;
    return index;
}

void OUTPUTTREE::reservetop(const QString& name)
{
    if (children.contains({0, name}))
        return;
    const platform::OUTFOLDER out = platform::openoutput(core.recoverdir);
    for (int n = 0; n < namesearchlimit; ++n) {
        const QString candidate = numberedname(name, n);
        bool made = false;
        if (platform::namestate(out, candidate) == platform::PathState::taken) {
            platform::FOLDERENTRY met;
            platform::enterfolder(out, candidate, false, &met);
            if (met == platform::FOLDERENTRY::link)
                core.showwarning(QStringLiteral("%1 is a symbolic link: not followed, the folder takes another name.")
                                     .arg(core.recoverdir + candidate));
            if (met != platform::FOLDERENTRY::entered)
                continue;
            made = true;
        }
        // Free, a folder already, or untestable (then the first save into
        // it fails and is reported).
        add(0, name, candidate, made);
        core.freenames.reserve(core.recoverdir, candidate);
        tops = nodes.size();
        return;
    }
}

std::int64_t OUTPUTTREE::choose(std::uint32_t parent, const QString& parentpath, const QString& wanted,
                                platform::OUTFOLDER& at)
{
    for (int n = 0; n < namesearchlimit; ++n) {
        const QString candidate = numberedname(wanted, n);
        if (core.freenames.reserved(parentpath, candidate))
            continue;
        platform::FOLDERENTRY met;
        platform::OUTFOLDER sub = platform::enterfolder(at, candidate, true, &met);
        switch (met) {
        case platform::FOLDERENTRY::entered:
            at = std::move(sub);
            return add(parent, wanted, candidate, true);
        case platform::FOLDERENTRY::link:
            core.showwarning(QStringLiteral("%1 is a symbolic link: not followed, the folder takes another name.")
                                 .arg(parentpath + candidate));
            continue;
        case platform::FOLDERENTRY::taken:
            continue;
        case platform::FOLDERENTRY::failed:
            return -1;
        }
    }
    return -1;
}

QString OUTPUTTREE::folder(const QString& subdir)
{
    QString path = core.recoverdir;
    std::vector<std::uint32_t> chain;  // the nodes entered so far, top first
    platform::OUTFOLDER at;            // the open folder of chain.back() once needed
    bool opened = false;
    std::uint32_t node = 0;
    for (const QString& wanted : subdir.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        // Room for this folder with a "(n)", and below it for any file name.
        if (!platform::pathfits(path + wanted + QDir::separator(), extra + suffixroom + platform::longestname))
            break;
        const auto known = children.constFind({node, wanted});
        std::int64_t next = known == children.cend() ? -1 : std::int64_t(known.value());
        if (next < 0 || !nodes[std::size_t(next)].made) {
            if (!opened) {
                opened = true;
                at = platform::openoutput(core.recoverdir);
                for (const std::uint32_t up : chain) {
                    platform::FOLDERENTRY met;
                    at = platform::enterfolder(at, nodes[up].name, false, &met);
                }
            }
            if (next < 0) {
                next = choose(node, path, wanted, at);
            } else {
                // A reserved top folder, made when its first file comes.
                platform::FOLDERENTRY met;
                at = platform::enterfolder(at, nodes[std::size_t(next)].name, true, &met);
                if (met == platform::FOLDERENTRY::link)
                    core.showwarning(QStringLiteral("%1 is a symbolic link: nothing is saved through it.")
                                         .arg(path + nodes[std::size_t(next)].name));
                nodes[std::size_t(next)].made = met == platform::FOLDERENTRY::entered;
                if (!nodes[std::size_t(next)].made)
                    next = -1;
            }
            if (next < 0)
                return QString();
        } else if (opened) {
            platform::FOLDERENTRY met;
            at = platform::enterfolder(at, nodes[std::size_t(next)].name, false, &met);
        }
        node = std::uint32_t(next);
        chain.push_back(node);
        path += nodes[node].name + QDir::separator();
    }
    trim();
    return path;
}

void OUTPUTTREE::trim()
{
    if (bytes <= treecap)
        return;
    nodes.resize(tops);
    children.clear();
    bytes = 0;
    for (std::uint32_t i = 1; i < nodes.size(); ++i) {
        children.insert({nodes[i].parent, nodes[i].wanted}, i);
        bytes += pernode + std::uint64_t(nodes[i].wanted.size() + nodes[i].name.size()) * 2;
    }
}
