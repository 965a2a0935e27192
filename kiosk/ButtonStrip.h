#pragma once

#include <QString>

class QPushButton;
class QWidget;
class TRectangle;

// The coloured strip along the bottom of the service forms and dialogs, and
// its buttons.

// The strip itself: burlywood with a grey line on top.
TRectangle* createButtonStrip(QWidget* parent);

// A strip button. It never takes focus nor acts as the default button: Enter
// belongs to the form's edit or to the dialog, where it means OK or yes.
QPushButton* stripButton(const QString& text, bool bold, QWidget* parent,
                         const char* name = nullptr);

// Sizes and places OK and Cancel on their strip as the main form does, also
// where no main form exists (tests, start-up).
void placeOkCancelButtons(QWidget* btOK, QWidget* btCancel);
// The same on a strip narrower than the screen: the pair ends at right.
void placeOkCancelButtons(QWidget* btOK, QWidget* btCancel, double right);
