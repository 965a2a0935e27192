#pragma once

#include <QString>

class QDialog;
class QLabel;
class QWidget;
class TRectangle;

// Building blocks the sale screens share, so their header, footer and
// amount lines look and behave alike.

// Frameless, on top of the kiosk and white: how every sale screen covers it.
void setUpSaleScreenWindow(QDialog* form, const QString& title);

// A plain-text label sized to its text (server messages may hold "<").
QLabel* saleScreenLabel(const QString& text, QWidget* parent, const char* name, bool bold = false,
                        double points = 20);

// Centres w horizontally within [left, left + width], keeping its height.
void centreX(QWidget* w, double left, double width);

// The coloured header with its title and close cross.
struct TSaleScreenHeader {
  TRectangle* pnTop = nullptr;
  QLabel* lbTop = nullptr;
  TRectangle* btClose = nullptr;
};
TSaleScreenHeader createSaleScreenHeader(QWidget* form);
// Fits the header to the screen width; returns its height.
double layoutSaleScreenHeader(const TSaleScreenHeader& header, double width, bool landscape);

// The hidden red lines a failed payment shows.
void createErrorLines(QWidget* form, QLabel*& lbErr1, QLabel*& lbErr2);

// The error's own text under the fixed "payment failed" line: fitted to
// limit like that line, but never in a larger font, so that a short message
// ("Invalid port 0.") does not grow to a height that runs past the screen's
// bottom edge. lbErr1 is fitted first.
void fitErrorText(QLabel* lbErr2, const QLabel* lbErr1, double limit);

// The black footer with the machine's serial number and the support phone,
// in dark grey as on the home screen.
TRectangle* createSerialNumberPanel(QWidget* form, QLabel*& lbSerialNumber,
                                    QLabel*& lbSupportPhone);

// The screen's size once the form covers the main form; usable_height leaves
// out the serial-number footer where it shows.
struct TSaleScreenArea {
  double width = 0;
  double height = 0;
  double usable_height = 0;
};
TSaleScreenArea fitSaleScreen(QWidget* form, QWidget* pnSerialNumber);

// The amount to pay, and the total, discount and points lines only where
// they say something.
void showAmountLines(QLabel* lbPaymentAmount, QLabel* lbTotal, QLabel* lbDiscount,
                     QLabel* lbCashback, double payment_amount, double total_amount,
                     double discount, double cashback);
