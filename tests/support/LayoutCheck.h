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
// - a picture is drawn at its own aspect ratio, and one fitted to a box
//   fills the box one way;
// - a busy indicator that shows is turning;
// - a label's text is not covered by a button beside it on the same panel,
//   nor crossed by a rule line there, nor drawn into its panel's outline.
// Each problem is one line naming the form, the widget and the sizes.

#include <QRect>
#include <QString>
#include <QStringList>
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

}  // namespace layoutcheck
