// The output side of the platform seam. The output directory is opened as
// the user named it; every folder below it is made and entered relative to
// the folder above, never through a symbolic link, and every file is made
// exclusively relative to its open folder, so that nothing planted in the
// output directory can lead a save outside it. A back end for another
// system is one more file beside outputfolder_linux.cpp.
#pragma once

#include "platform/volumesource.h"

#include <QString>
#include <cstdint>
#include <cstdio>

namespace platform {

// One open folder of the output tree, with its path (ending with a
// separator) for messages and the path-length rule. Closes the folder when
// it goes.
class OUTFOLDER {
public:
    OUTFOLDER() = default;
    OUTFOLDER(std::intptr_t handle, QString path) : native(handle), where(std::move(path)) {}
    OUTFOLDER(OUTFOLDER&& other) noexcept;
    OUTFOLDER& operator=(OUTFOLDER&& other) noexcept;
    OUTFOLDER(const OUTFOLDER&) = delete;
    OUTFOLDER& operator=(const OUTFOLDER&) = delete;
    ~OUTFOLDER();

    bool isopen() const { return native >= 0; }
    std::intptr_t handle() const { return native; }
    const QString& path() const { return where; }

private:
    std::intptr_t native = -1;
    QString where;
};

// The output directory dir (links in its own path are followed: it is the
// user's choice). Not open when it is missing or no folder.
OUTFOLDER openoutput(const QString& dir);

// What entering a folder met.
enum class FOLDERENTRY {
    entered,  // the folder is open (made first when asked and missing)
    taken,    // a file, or anything else but a folder, has the name
    link,     // a symbolic link has the name: refused, never followed
    failed,   // it cannot be made or opened, or its path would be too long
};

// The folder name inside parent, never through a symbolic link; with make
// it is made first when missing. *result says which case it was.
OUTFOLDER enterfolder(const OUTFOLDER& parent, const QString& name, bool make, FOLDERENTRY* result);

// As pathstate, for name inside folder: unknown too when folder is not
// open or its path with name would be longer than a path can be.
PathState namestate(const OUTFOLDER& folder, const QString& name);

// A new file name in folder, open for writing: made exclusively, so that
// it never replaces anything and never writes through a link. Null when it
// cannot be made.
std::FILE* createfile(const OUTFOLDER& folder, const QString& name);

// Sets the modification time (seconds since the epoch, UTC) of name in
// folder without following a link; false when it cannot.
bool setmodificationtime(const OUTFOLDER& folder, const QString& name, std::int64_t utcseconds,
                         std::int32_t nanoseconds = 0);

// Moves the file name of from into to as newname, never replacing anything
// there; false when it cannot. Where the file system can neither rename
// without replacing nor link, newname is tested free right before a plain
// rename.
bool movefile(const OUTFOLDER& from, const QString& name, const OUTFOLDER& to, const QString& newname);

// Removes the file name in folder (not a folder; a link itself, never what
// it points at); false when it cannot.
bool removefile(const OUTFOLDER& folder, const QString& name);

// Makes the output directory dir with every missing parent. Empty when it
// is a directory now; else the path that failed and the system's reason
// ("/media/out: Permission denied").
QString makeoutput(const QString& dir);

// Whether recovered files can be written in the output directory dir: a
// hidden probe file is made there, written one byte and removed. Empty when
// that works; else the system's reason ("Permission denied", "Read-only file
// system", "No space left on device").
QString probeoutput(const QString& dir);

// Whether path, with room for reserve more bytes, fits in a path of the
// output file system (on Linux PATH_MAX with its terminating NUL).
bool pathfits(const QString& path, int reserve = 0);

// The longest file or folder name the output file system takes, in bytes.
constexpr int longestname = 255;

}  // namespace platform
