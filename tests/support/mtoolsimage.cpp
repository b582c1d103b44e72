#include "mtoolsimage.h"

#include "fatbuilder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace testsupport {

namespace {

std::string& errorstore()
{
    static std::string text;
    return text;
}

bool fail(const QString& why)
{
    errorstore() = why.toStdString();
    return false;
}

// mtools wants "::" before a path inside the image; callers may omit it.
QString imagepath(const QString& fatpath)
{
    return fatpath.startsWith(QLatin1String("::")) ? fatpath : QStringLiteral("::") + fatpath;
}

QString findtool(const QString& program)
{
    QString found = QStandardPaths::findExecutable(program);
    if (found.isEmpty()) {
        // mkfs.fat and fsck.fat live in sbin, which is not in every PATH.
        found = QStandardPaths::findExecutable(
            program, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin")});
    }
    return found;
}

QProcessEnvironment toolenvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SOURCE_DATE_EPOCH"), QString::number(tooloptions().now));
    // The image is a plain file, not a disk mtools knows the geometry of.
    env.insert(QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1"));
    env.insert(QStringLiteral("MTOOLS_NO_VFAT"), tooloptions().mixedcaseslots ? QStringLiteral("0") : QStringLiteral("1"));
    // Long names are converted through the locale's character set.
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    return env;
}

bool runmtool(const QString& program, const QString& image, const QStringList& args, QByteArray* out = nullptr)
{
    return runtool(program, QStringList{QStringLiteral("-i"), image} + args, out);
}

// murmur3's finaliser: a bijection on 32-bit values.
std::uint32_t mix32(std::uint32_t h)
{
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

}  // namespace

ToolOptions& tooloptions()
{
    static ToolOptions options;
    return options;
}

ScopedToolOptions::ScopedToolOptions(const ToolOptions& options) : saved(tooloptions())
{
    tooloptions() = options;
}

ScopedToolOptions::~ScopedToolOptions()
{
    tooloptions() = saved;
}

std::string lasterror()
{
    return errorstore();
}

bool runtool(const QString& program, const QStringList& args, QByteArray* out)
{
    const QString path = findtool(program);
    const QString command = program + QLatin1Char(' ') + args.join(QLatin1Char(' '));
    if (path.isEmpty())
        return fail(QStringLiteral("%1: not found (install mtools and dosfstools)").arg(program));

    QProcess process;
    process.setProcessEnvironment(toolenvironment());
    process.start(path, args);
    if (!process.waitForStarted())
        return fail(QStringLiteral("%1: cannot start: %2").arg(command, process.errorString()));
    // An mtools prompt (name clash, ...) then reads end of file instead of
    // waiting forever.
    process.closeWriteChannel();
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return fail(QStringLiteral("%1: did not finish within two minutes").arg(command));
    }
    const QByteArray stdoutbytes = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return fail(QStringLiteral("%1: exit status %2\n%3%4")
                        .arg(command)
                        .arg(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1)
                        .arg(QString::fromLocal8Bit(stdoutbytes),
                             QString::fromLocal8Bit(process.readAllStandardError())));
    }
    if (out)
        *out = stdoutbytes;
    return true;
}

bool makefat(const QString& image, int fatbits, std::uint64_t sizebytes, int sectorspercluster,
             const QStringList& extraargs)
{
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot create %1: %2").arg(image, file.errorString()));
    if (!file.resize(static_cast<qint64>(sizebytes)))
        return fail(QStringLiteral("cannot size %1: %2").arg(image, file.errorString()));
    file.close();
    QStringList args{QStringLiteral("-F"), QString::number(fatbits), QStringLiteral("-s"),
                     QString::number(sectorspercluster), QStringLiteral("-i"), QStringLiteral("1234ABCD")};
    args += extraargs;
    args += image;
    return runtool(QStringLiteral("mkfs.fat"), args);
}

bool mcopy(const QString& image, const QString& localfile, const QString& fatpath, bool keepmtime)
{
    QStringList args{QStringLiteral("-o")};
    if (keepmtime)
        args += QStringLiteral("-m");
    args += {localfile, imagepath(fatpath)};
    return runmtool(QStringLiteral("mcopy"), image, args);
}

bool mmd(const QString& image, const QString& fatpath)
{
    return runmtool(QStringLiteral("mmd"), image, {imagepath(fatpath)});
}

bool mdel(const QString& image, const QString& fatpath)
{
    return runmtool(QStringLiteral("mdel"), image, {imagepath(fatpath)});
}

bool mdeltree(const QString& image, const QString& fatpath)
{
    return runmtool(QStringLiteral("mdeltree"), image, {imagepath(fatpath)});
}

QByteArray mtype(const QString& image, const QString& fatpath)
{
    QByteArray out;
    if (!runmtool(QStringLiteral("mtype"), image, {imagepath(fatpath)}, &out))
        return {};
    if (out.isNull())
        out = QByteArray("", 0);
    return out;
}

QByteArray mdir(const QString& image, const QString& fatpath)
{
    QByteArray out;
    if (!runmtool(QStringLiteral("mdir"), image, {imagepath(fatpath)}, &out))
        return {};
    if (out.isNull())
        out = QByteArray("", 0);
    return out;
}

bool fsckclean(const QString& image)
{
    return runtool(QStringLiteral("fsck.fat"), {QStringLiteral("-n"), image});
}

bool resetfsinfohint(const QString& image)
{
    return setfsinfohint(image, 0xFFFFFFFFu);  // "unknown": search from cluster 2
}

bool setfsinfohint(const QString& image, std::uint32_t cluster)
{
    QFile file(image);
    if (!file.open(QIODevice::ReadWrite))
        return fail(QStringLiteral("cannot open %1: %2").arg(image, file.errorString()));
    const QByteArray boot = file.read(512);
    if (boot.size() != 512)
        return fail(QStringLiteral("%1: no boot sector").arg(image));
    const auto* b = reinterpret_cast<const unsigned char*>(boot.constData());
    const std::uint32_t bytespersector = get16(b + 11);
    const std::uint32_t fatsize16 = get16(b + 22);
    const std::uint32_t fsinfosector = get16(b + 48);
    if (fatsize16 != 0 || fsinfosector == 0 || fsinfosector == 0xFFFF)
        return fail(QStringLiteral("%1: not FAT32 or no FSInfo sector").arg(image));
    unsigned char hint[4];
    put32(hint, cluster);
    if (!file.seek(qint64(fsinfosector) * bytespersector + 492) ||
        file.write(reinterpret_cast<const char*>(hint), 4) != 4)
        return fail(QStringLiteral("%1: cannot write FSInfo: %2").arg(image, file.errorString()));
    return true;
}

QByteArray contents(const QString& localpath)
{
    QFile f(localpath);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::map<QString, QByteArray> filetree(const QString& dir)
{
    std::map<QString, QByteArray> files;
    const QDir base(dir);
    for (QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        files[base.relativeFilePath(path)] = contents(path);
    }
    return files;
}

bool writefile(const QString& localpath, const QByteArray& data)
{
    QFile file(localpath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot create %1: %2").arg(localpath, file.errorString()));
    if (file.write(data) != data.size())
        return fail(QStringLiteral("cannot write %1: %2").arg(localpath, file.errorString()));
    return true;
}

bool setmtime(const QString& localpath, const QDateTime& when)
{
    QFile file(localpath);
    if (!file.open(QIODevice::ReadWrite))
        return fail(QStringLiteral("cannot open %1: %2").arg(localpath, file.errorString()));
    if (!file.setFileTime(when, QFileDevice::FileModificationTime))
        return fail(QStringLiteral("cannot set the time of %1: %2").arg(localpath, file.errorString()));
    return true;
}

QByteArray patterndata(std::uint64_t size, std::uint32_t seed)
{
    QByteArray data(static_cast<qsizetype>(size), Qt::Uninitialized);
    auto* p = reinterpret_cast<unsigned char*>(data.data());
    const std::uint32_t offset = mix32(seed ^ 0x5EEDF00Du);
    unsigned char word[4];
    for (std::uint64_t pos = 0; pos < size; pos += 4) {
        put32(word, mix32(static_cast<std::uint32_t>(pos / 4) + offset));
        for (std::uint64_t k = 0; k < 4 && pos + k < size; ++k)
            p[pos + k] = word[k];
    }
    return data;
}

QByteArray sha256(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot open %1: %2").arg(file, f.errorString()));
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&f)) {
        fail(QStringLiteral("cannot read %1").arg(file));
        return {};
    }
    return hash.result();
}

}  // namespace testsupport
