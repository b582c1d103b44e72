// The image a run makes of its source as it reads it: a new file of the
// source's size whose holes are what was not read, and its ddrescue map
// beside it, so that the card need not be read again.
#pragma once

#include <QString>
#include <cstdint>
#include <cstdio>

namespace imaging {

enum class IMAGEFAULT {
    none,
    sourceitself,  // the file named is the source
    onsource,      // it would lie on the disk being read
    exists,        // the file, or its map, is there already: never replaced
    notcreated,    // it could not be made (why: the system's reason)
};

struct IMAGEFILE {
    IMAGEFAULT fault = IMAGEFAULT::none;
    QString why;
    QString path;  // as named
    std::FILE* stream = nullptr;  // as the output folder made it
    int fd = -1;                  // its descriptor, written with pwrite
    std::FILE* mapstream = nullptr;  // file.map, made with the image
    std::uint64_t size = 0;  // the source's bytes
    bool ok() const { return fault == IMAGEFAULT::none; }
};

// Makes file, exclusively and as every output file is made
// (platform::createfile: never through a link), as the image of the whole source at sourcepath
// (a file or block device): as large as the source, all holes; and
// file.map beside it, the same way, marking every sector untried until the
// image is finished. Every read of the source from now on is written into
// the image (platform::imagereads).
IMAGEFILE startimage(const QString& file, const QString& sourcepath);

// Ends imaging: writes file.map over what it said so far, the sectors written
// "+", those the source could not give "-", the rest "?", and closes the
// image. Empty when that worked; else what failed. A write error met
// while imaging is platform::imagefault()'s to tell.
QString finishimage(IMAGEFILE* image);

// Ends imaging and removes the image and its map: for a run refused
// before it began, whose image would only stand in the way of the next.
void dropimage(IMAGEFILE* image);

}  // namespace imaging
