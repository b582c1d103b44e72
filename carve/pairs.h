// The RAW file and the JPEG a camera wrote of one shot, carved apart,
// placed side by side.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <cstdint>

namespace carve {

// Where one carved file goes below lost/carved/.
struct PLACE {
    QString folder;  // "jpg", "cr2" ...
    QString stem;    // the name before the extension: "f0001234"
};

class PAIRS {
public:
    // A carved file of type (its extension) at startcluster, raw when it
    // is a camera RAW file, of the shot key (phototime's; empty when
    // none): its own type's folder and f<cluster>; but the RAW or the JPEG
    // of a shot whose other file was the last of its key placed goes into
    // that file's folder under that file's stem, so that the two differ
    // only in their extension.
    PLACE place(const QString& type, std::uint32_t startcluster, bool raw, const QByteArray& key);

    // Shots remembered; past this, later files are placed on their own.
    static constexpr qsizetype most = 1 << 16;

private:
    struct SHOT {
        PLACE first;
        bool raw = false;
        bool paired = false;
    };
    QHash<QByteArray, SHOT> shots;
};

}  // namespace carve
