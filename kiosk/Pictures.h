#pragma once
// Every picture the kiosk shows, drawn in code: the program carries no image
// files, and a picture that two screens show is one drawing (the card on the
// cart's pay button is the card of the card payment screen).
//
// One function per picture, of the type TPicture (kiosk/Common.h) that the
// image helpers take. Each draws its picture as large as it fits in box at
// the picture's own proportions, so that it is sharp at any size and never
// stretched: the pixmap is exactly that size, transparent where the drawing
// leaves it blank. An empty box draws the picture at its own size, which
// gives its proportions.

#include <QPixmap>
#include <QSize>

// Start-up and home screen.
QPixmap logoPicture(const QSize& box = {});    // a cup on a band in the kiosk's colours
QPixmap cupPicture(const QSize& box = {});     // choosing a drink
QPixmap keypadPicture(const QSize& box = {});  // typing a barcode

// Questions and messages.
QPixmap questionPicture(const QSize& box = {});
QPixmap exclamationPicture(const QSize& box = {});

// Sale screens.
QPixmap drinkPicture(const QSize& box = {});  // a cup of coffee on its saucer: a drink tile
QPixmap plusPicture(const QSize& box = {});
QPixmap minusPicture(const QSize& box = {});
QPixmap crossPicture(const QSize& box = {});  // closes a screen

// The payment methods' logos, on their screens, on the cart's pay button and
// on the payment-method dialog.
QPixmap bankCardPicture(const QSize& box = {});
QPixmap sbpPicture(const QSize& box = {});
QPixmap yandexBadgePicture(const QSize& box = {});
QPixmap identityCardPicture(const QSize& box = {});

// The service menu's actions, drawn in white for its dark buttons.
QPixmap auditPicture(const QSize& box = {});             // a checked list
QPixmap auditAtLoadingPicture(const QSize& box = {});    // goods going into a tray
QPixmap refreshConfigPicture(const QSize& box = {});     // two arrows in a circle
QPixmap closeApplicationPicture(const QSize& box = {});  // the power sign
QPixmap operatorFormPicture(const QSize& box = {});      // a form and a pen
