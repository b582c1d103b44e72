// The names and paths under which recovered files are saved.
#pragma once

#include "platform/volumesource.h"

#include <QByteArray>
#include <QString>

#include <functional>

class FILEPARM;

// The short name with its erased first byte replaced by 'k', and a second
// byte from 0x80 up by 'o'; ends at the first zero byte (at most 12 bytes).
QByteArray recoveredname(const FILEPARM& file);

// The recovered name as a file name of this platform: bytes that cannot
// stand in a file name become '_', control characters their pictures
// (visiblecontrol), bytes from 0x80 up are read as DOS code page 437.
QString recoveredfilename(const QByteArray& recovered);

// True for a control character: C0 (tab and line feed too), DEL and C1.
// Names from a volume never carry one into a file name or a printed line,
// where it would break the lines and columns of a listing or steer the
// terminal.
bool controlcharacter(char16_t c);
// What stands for a control character in a name: its Unicode control
// picture (U+2400 + c, U+2421 for DEL), so that names stay apart and
// readable; U+FFFD for C1, which has none.
QChar visiblecontrol(char16_t c);

// A name the volume keeps whole (a FAT long name, an exFAT name) as a file
// name of this platform: the same bytes as for short names become "_" and
// control characters their pictures, and a name of dots only cannot climb
// out of the output directory.
QString safename(const QString& longname);

// name itself for n 0, else name + "(n)": the names the "(n)" search tries.
QString numberedname(const QString& name, int n);

// dir + name, or dir + name + "(n)" for the first n from 1 whose path does
// not exist yet. Empty when no free path can be found: a path that cannot
// be tested, or every n up to namesearchlimit taken.
QString freetargetpath(const QString& dir, const QString& name);

// The most names one search tries.
constexpr int namesearchlimit = 100000;

// The first path that next() gives which is free, asking it at most
// namesearchlimit times; next() returns empty when it has no more names.
// Empty when none is free, or when one cannot be tested: a file that
// cannot be created there.
QString firstfreepath(const std::function<QString()>& next);

// The same with the test of whether a candidate is free given: the first
// of next()'s names that test calls free.
QString firstfreename(const std::function<QString()>& next,
                      const std::function<platform::PathState(const QString&)>& test);
