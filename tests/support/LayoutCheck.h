#pragma once

// Checks a shown form the way a customer at the touch screen sees it. For
// every visible widget:
// - it lies on the screen;
// - its text fits it at the font it is drawn with (font metrics against the
//   content rectangle): labels, buttons, check boxes, edits, drop-down lists;
// - a touch button's text is drawn large enough to fill it in one direction;
// - a button's text keeps a small margin to the button's left and right
//   edges;
// - a touch target (touch button, push button, check box, edit, list) is at
//   least kMinTouch pixels on its short side, and a check box's box is drawn
//   large enough to see and hit beside its text;
// - a picture is drawn at its own aspect ratio, whole within its box, and
//   one fitted to a box fills the box one way;
// - a picture on a touch button lies inside the button, clear of the
//   button's text;
// - a busy indicator that shows is turning;
// - a label's text is not covered by a button beside it on the same panel,
//   nor crossed by a rule line there, nor drawn into its panel's outline.
// Each problem is one line naming the form, the widget and the sizes.

#include <QRect>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class QWidget;

namespace layoutcheck {

inline constexpr int kMinTouch = 48;

enum class TCheck { OnScreen, TextFits, TouchTarget, Picture, Busy, Overlap };

// A deliberate exception: the layout rule fixes this size. Widget and form
// are the names the problem lines use.
struct TAllowance {
  const char* form;
  const char* widget;
  TCheck check;
  const char* why;
};

// The widget's name in problem lines: its object name, else its class and
// text, after the names of its named ancestors inside the form.
QString widgetName(const QWidget* w, const QWidget* form);

QStringList check(const QWidget* form, const QString& formName, const QRect& screen,
                  const std::vector<TAllowance>& allowed = {});

// A picture that a screen's layout rules name, on the button (or panel) it
// belongs to. The rules of the screens' own descriptions list them; a check
// that only knows the pictures it was told of misses the others.
struct TNamedPicture {
  const char* parent;   // object name of its button or panel; null: the form
  const char* picture;  // its own object name
  // Where the rules put the picture's box, in the parent's coordinates;
  // null: anywhere inside the parent, clear of its text.
  std::function<QRectF(const QWidget* form, const QWidget* parent)> box;
  // It takes turns with others in one place, so it may be hidden.
  bool takesTurns = false;
};

// Each named picture is there on its parent (unless the parent is hidden:
// a button the configuration leaves out has nothing to show), shows a
// picture of its own proportions, whole within its box, inside its parent
// and clear of the parent's text, and where its box rule puts it.
QStringList checkNamedPictures(const QWidget* form, const QString& formName,
                               const std::vector<TNamedPicture>& pictures);

// Page dots, each large enough to see, and each clear of the other dots and
// of the page buttons by a share of its diameter: dots that touch read as
// one, and a dot against a button reads as part of it. Hidden buttons do
// not count.
inline constexpr int kMinDot = 8;
inline constexpr double kMinDotClearShare = 1.0 / 3;
QStringList checkPageDots(const QWidget* form, const QString& formName,
                          const std::vector<const QWidget*>& dots,
                          const std::vector<const QWidget*>& buttons);

// A page dot is drawn as a circle: its outline reaches its box's sides and
// leaves the box's corners to what is under it.
bool isDrawnRound(QWidget* dot);

}  // namespace layoutcheck
