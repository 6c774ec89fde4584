#pragma once
// Every picture the windows show is drawn here at run time, so the program ships no image
// files and every picture scales with its caption.
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace vigilo::gui {

enum class ButtonArt { Works, Live, Support };

// One of the two images of an image button: the glyph above the caption.
QPixmap imageButtonPixmap(const QString& caption, ButtonArt art, bool hover, QSize size);

// The banner at the left of the window's top band.
QPixmap bannerPixmap(QSize size);

// A placeholder for a payment code: a code-like pattern (derived from seed) with its label.
QPixmap paymentCodePixmap(const QString& label, QColor accent, quint32 seed, QSize size);

// The program's icon: the banner's eye on the band colour.
QIcon appIcon();

// The colour of the top band behind the banner and the image buttons.
QColor headerBandColor();

}  // namespace vigilo::gui
