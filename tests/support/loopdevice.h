// Read-only loop devices over test images (root only).
#pragma once

#include <QString>
#include <QStringList>

namespace testsupport {

// A read-only loop device over image (extra: more losetup options, such as
// -P or -o), or empty when the machine refuses.
QString attachloop(const QString& image, const QStringList& extra = {});

// Detaches the device and any partitions added for it; empty does nothing.
void detachloop(const QString& dev);

}  // namespace testsupport
