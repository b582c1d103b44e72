// The content checks' verdicts in tests: printed by name, and taken of a
// QByteArray.
#pragma once

#include "verify/verify.h"

#include <QByteArray>
#include <QString>
#include <ostream>

namespace verify {
inline void PrintTo(verdict v, std::ostream* os) { *os << verdictname(v).toStdString(); }
}  // namespace verify

namespace testsupport {

// identify + check of data saved under name, on a volume with clusters of
// clusterbytes (0: unknown).
inline verify::verdict verdictof(const QByteArray& data, const QString& name, std::uint32_t clusterbytes = 0)
{
    return verify::verdictof(verify::bytes(reinterpret_cast<const unsigned char*>(data.constData()),
                                           std::size_t(data.size())),
                             name, clusterbytes);
}

}  // namespace testsupport
