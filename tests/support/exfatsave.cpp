#include "support/exfatsave.h"

#include "exfat/deep.h"
#include "scan/recoveredname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace testsupport {

namespace {

void save(const exfat::EXFATVOLUME& volume, const exfat::EXFATFILE& file, const QString& outdir,
          std::uint64_t* budget, ExfatOutcome* o)
{
    o->files.append(file);
    const bool fits = file.file.size <= *budget;
    *budget = fits ? *budget - file.file.size : 0;
    if (outdir.isEmpty() || !fits) {
        o->paths.append(QString());
        return;
    }
    const QString dir = outdir + '/' + file.folder;
    QDir().mkpath(dir);
    const QString path = freetargetpath(dir, safename(file.name));
    const int status = path.isEmpty() ? 1 : file.file.saveas(volume.disk(), QFile::encodeName(path).constData());
    if (status != 0)
        ++o->failed;
    if (status == 0) {
        QFile saved(path);
        if (const auto when = file.modified.utc(); when && saved.open(QIODevice::ReadOnly))
            saved.setFileTime(*when, QFileDevice::FileModificationTime);
    }
    o->paths.append(status == 1 ? QString() : QDir(outdir).relativeFilePath(path));
}

}  // namespace

ExfatOutcome exfatrecover(const QString& image, const QString& outdir, bool deep, std::uint64_t savebudget)
{
    ExfatOutcome o;
    const platform::volhandle handle = platform::openpath(image);
    exfat::EXFATVOLUME volume;
    o.error = handle == platform::invalidhandle() ? QStringLiteral("cannot open %1").arg(image)
                                                  : volume.open(handle, std::uint64_t(QFileInfo(image).size()));
    if (o.error.isEmpty()) {
        o.notes = volume.notes;
        exfat::EXFATWALK walk(volume);
        std::optional<exfat::EXFATFILE> found;
        while (walk.step(&found))
            if (found)
                save(volume, *found, outdir, &savebudget, &o);
        o.counts = walk.counts();
        o.notes += walk.notes();
        if (deep) {
            exfat::EXFATDEEP scan(volume);
            scan.claim(walk.liveclusterbits());
            scan.claim(walk.directorybits());
            for (const exfat::EXFATFILE& f : o.files)
                scan.claim(f.file.dataruns);
            scan.scan([](std::uint64_t, std::uint64_t) {});
            scan.recover([&](const exfat::EXFATFILE& f) { save(volume, f, outdir, &savebudget, &o); });
            o.deepclusters = scan.scannedclusters();
            o.notes += scan.notes();
        }
    }
    platform::closesource(handle);
    return o;
}

}  // namespace testsupport
