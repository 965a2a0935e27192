#pragma once
// GUI helpers shared by every screen: text measuring and fitting for the touch
// screens, the on-screen keyboard and full-screen placement. Main thread only.
// The plain helpers (formatting, hex, scrambler, files) are in platform/Common.h.

#include <QRectF>
#include <QSizeF>
#include <QString>

class QCheckBox;
class QLabel;
class QPixmap;
class QSize;
class QWidget;

inline constexpr const char* kFixedGeometry = "vektaFixedGeometry";

// The text a control shows: the "text" property of labels, buttons and edits,
// with Windows line breaks ("\r\n") taken as one break.
QString ControlText(const QWidget* control);

// Width of the control's text laid out on one line per line break (or wrapped
// in a 3000-unit box when the control wraps words), with the control's font.
double MeasureTextWidth(const QWidget* control);
// Height of the control's text laid out at the control's width, with its own
// alignment and word wrap.
double MeasureTextHeight(const QWidget* control);

// Grows and then shrinks the control's font one point at a time until its text
// is as wide as it can be without exceeding limit; at most 200 steps, never
// below 1 point. Blank text leaves the font alone. A label that does not wrap
// then takes the size of its text, as the screens' auto-sized labels do,
// unless its property kFixedGeometry is true (a label that fills a button).
void FitFontSize(QWidget* control, double limit);

// Grows and shrinks the control's font as FitFontSize does, until its text is
// as large as it can be without being wider or taller than box. A text of one
// glyph, whose line is taller than the glyph is wide, is bounded by the box's
// height where a width limit alone would let it outgrow the button. A label
// that wraps words is wrapped at the box's width.
void FitFontSizeToBox(QWidget* control, const QSizeF& box);

// Draws a check box's box about as tall as its text, so that the box a finger
// aims at grows with the font instead of staying at the style's few pixels.
void FitCheckIndicator(QCheckBox* box);

// The largest rectangle of the picture's aspect ratio inside box, centred in
// it: how an image component shows its picture by default.
QRectF FittedRect(const QSizeF& picture, const QRectF& box);

// A picture drawn in code (kiosk/Pictures.h): drawn as large as it fits in
// box at its own proportions; an empty box draws it at its own size.
using TPicture = QPixmap (*)(const QSize& box);
// The picture's own size, which the label keeps (property kPicture) so that
// a check can tell a stretched picture from one shown at its proportions.
inline constexpr const char* kPicture = "vektaPicture";
// Gives label the picture; FitPicture draws it.
void SetPicture(QLabel* label, TPicture picture);
// Shows the label's picture fitted to box: the label takes box, the picture
// keeps its aspect ratio, is drawn at the size it is shown at and centred in
// it (within the label's contents margins). Without a picture the label
// shows nothing.
void FitPicture(QLabel* label, const QRectF& box);
void FitPicture(QLabel* label, const QRectF& box, TPicture picture);

// Font size of the control in points (a pixel-sized font is taken as points).
double FontSizeOf(const QWidget* control);
// Sets the size (never below 1 point); an auto-sized label follows its text.
void SetFontSize(QWidget* control, double points);

// Starts the on-screen keyboard: the command in VEKTA_OSK_COMMAND, else
// "onboard", started detached. True when it started.
bool ShowOnScreenKeyboard();
// Asks the platform's input method to hide its keyboard, where there is one.
void HideVirtualKeyboard();

// Gives the form the main form's position and size (the screen's while there
// is no main form).
void FitFormToMainForm(QWidget* form);
// The main form registers itself here when created.
void SetMainFormWidget(QWidget* form);

// The screen the kiosk runs on: W and H of every layout rule.
QSizeF ScreenSize();
