// The names and paths under which recovered files are saved.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class FILEPARM;

// The short name with its erased first byte replaced by 'k', and a second
// byte from 0x80 up by 'o'; ends at the first zero byte (at most 12 bytes).
QByteArray recoveredname(const FILEPARM& file);

// The recovered name as a file name of this platform: bytes that cannot
// stand in a file name become '_', bytes from 0x80 up are read as DOS code
// page 437.
QString recoveredfilename(const QByteArray& recovered);

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
