// The image a face makes of its source while a run reads it, once for
// both faces: begun before the first read, finished with its map after the
// last, and told in the same words by kov-recover and the window.
#pragma once

#include "imaging/imagefile.h"

#include <QString>

class RUNIMAGE {
public:
    RUNIMAGE() = default;
    RUNIMAGE(const RUNIMAGE&) = delete;
    RUNIMAGE& operator=(const RUNIMAGE&) = delete;
    ~RUNIMAGE() { finish(); }

    // Begins imaging the whole source at sourcepath (a file or block
    // device) into file. Empty when it has begun; else why file was
    // refused, and nothing is made.
    QString start(const QString& file, const QString& sourcepath);
    bool started() const { return image.fd >= 0; }
    const QString& file() const { return image.path; }
    // Ends imaging: the image closed, its map written beside it. What to
    // tell of them (where they are; whether imaging stopped early, and why;
    // a map that could not be written). Empty when none was begun.
    QString finish();
    // Whether the last image finished holds every sector read, and its map
    // was written: false once a write failed.
    bool whole() const { return lastwhole; }
    // Ends imaging and removes the image (no map): the run was refused
    // before it began.
    void drop() { imaging::dropimage(&image); }

private:
    imaging::IMAGEFILE image;
    bool lastwhole = true;
};

// What is told the moment a failed write ends imaging of file (why: the
// system's words); the run goes on.
QString imagingstoppedtext(const QString& file, const QString& why);
