// The run's sector map written into the output folder at its end.
#pragma once

#include "platform/volumesource.h"

#include <QString>

namespace badsectors {

// Writes what h's reads met as a ddrescue mapfile into the folder dir, as
// unreadable.map or the first free unreadable(N).map, never replacing a
// file. Returns the name written; empty when h met no unreadable sector or
// the file cannot be made (*error then says so).
QString saveunreadablemap(const QString& dir, platform::volhandle h, QString* error);

}  // namespace badsectors
