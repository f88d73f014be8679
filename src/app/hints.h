// Hints are written "short text|long text". Tool tips show the short part,
// status panel 1 the long part; neither part is trimmed.
#pragma once

#include <QString>

namespace sl::app {

// The text before the first "|", or the whole hint when it has none.
QString ShortHint(const QString& hint);

// The text after the first "|", or the whole hint when it has none.
QString LongHint(const QString& hint);

}  // namespace sl::app
