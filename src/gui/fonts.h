#pragma once
#include <QFont>
#include <QString>

namespace vigilo::gui {

// The window's own font names come from a Windows desktop; on Linux they are mapped onto the
// CJK families that fonts-noto-cjk installs, so Chinese captions never fall back to boxes.
void installFonts();

// A font of the named family (one of the names above) with the CJK fallback behind it.
QFont namedFont(const QString& family, int pointSize, bool bold = false);

inline const QString kImageButtonFamily = QStringLiteral("微软雅黑");
inline const QString kStatusBarFamily = QStringLiteral("宋体");
inline const QString kSupportLabelFamily = QStringLiteral("隶书");

}  // namespace vigilo::gui
