// Lets GoogleTest print Qt strings in failure messages.
#pragma once

#include <QByteArray>
#include <QString>
#include <ostream>

QT_BEGIN_NAMESPACE
inline std::ostream& operator<<(std::ostream& os, const QString& s) { return os << s.toStdString(); }
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
QT_END_NAMESPACE
