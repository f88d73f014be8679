// Fixed texts and numbers the Qt face shares between its forms.
#pragma once

#include <QString>
#include <QStringList>

namespace sl::app {

inline const QString kAppTitle = QStringLiteral("Sonolabel");
// The name of the installed desktop entry (and AppStream component), without
// ".desktop".
inline const QString kDesktopId = QStringLiteral("org.sonolabel.Sonolabel");

// The interface font as the forms name it, and the installed Japanese font
// with the same metrics that stands in for it.
inline const QString kInterfaceFont = QStringLiteral("ＭＳ Ｐゴシック");
inline const QString kInterfaceFontSubstitute = QStringLiteral("IPAPGothic");
inline constexpr int kInterfaceFontPx = 12;
inline constexpr int kLabelFontPx = 16;

// Longest answer the input box accepts.
inline constexpr int kMaxInputLength = 1024;

// The 11 CDDB categories of categoryBox.
const QStringList& Categories();
// The 150 detailed genres of genreBox.
const QStringList& DetailedGenres();

}  // namespace sl::app
