#include "gui/fonts.h"

#include <QApplication>
#include <QStringList>

namespace vigilo::gui {
namespace {

const QString kSans = QStringLiteral("Noto Sans CJK SC");
const QString kSerif = QStringLiteral("Noto Serif CJK SC");

QStringList fallbacksFor(const QString& family) {
    // Song and Li styles are serif faces; the UI faces are sans.
    if (family == kStatusBarFamily || family == kSupportLabelFamily) return {kSerif, kSans};
    return {kSans, kSerif};
}

}  // namespace

void installFonts() {
    for (const QString& family : {kImageButtonFamily, kStatusBarFamily, kSupportLabelFamily})
        QFont::insertSubstitutions(family, fallbacksFor(family));
    QFont base = QApplication::font();
    QStringList families{kSans};
    families += base.families();
    base.setFamilies(families);
    base.setPointSize(9);
    QApplication::setFont(base);
}

QFont namedFont(const QString& family, int pointSize, bool bold) {
    QFont font;
    QStringList families{family};
    families += fallbacksFor(family);
    font.setFamilies(families);
    font.setPointSize(pointSize);
    font.setBold(bold);
    return font;
}

}  // namespace vigilo::gui
