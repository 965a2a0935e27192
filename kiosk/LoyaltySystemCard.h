#pragma once
// The greeting of a customer whose loyalty card was just scanned: the name,
// the discount and the points on the card, with a sound. It closes by itself
// after a few seconds, at a touch on OK, or at a key, which goes on to the
// scanner so that a scan started while it shows is not lost.

#include <QDialog>
#include <QString>
#include <functional>

#include "backoffice/KernelAPI.h"

class QKeyEvent;
class QLabel;
class QTimer;
class QWidget;
class TRectangle;
class TTouchButton;

// The texts and lines of the greeting for one card.
struct TLoyaltyGreetingView {
  QString greeting;  // lbTop
  bool discountVisible = false;
  QString discountText;
  bool cashbackVisible = false;
  QString cashbackText;
  // The points line stands below the discount line (else at the top).
  bool cashbackBelowDiscount = false;
  bool noteVisible = false;
};
TLoyaltyGreetingView loyaltyGreetingView(const TLoyalityCardInfo& card);

// The sound played with the greeting, when the file is in that folder; empty
// otherwise.
QString loyaltyGreetingSound(const QString& programFolder);

class TfmLoyaltySystemCard : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kCloseAfterMs = 5000;

  explicit TfmLoyaltySystemCard(const TLoyalityCardInfo& card, QWidget* parent = nullptr);

  // The scanner entry of the main form; null: keys only close the greeting.
  std::function<void(QKeyEvent*)> scannerKeyUp;
  // The press feedback of the OK button; null: none.
  std::function<void(QObject*)> buttonPressed;
  // Plays the sound file asynchronously; null: silent.
  std::function<void(const QString& file)> playSound;
  // Where the sound file is looked for (the program's folder by default).
  QString programFolder;

  TRectangle* pnBackground;
  TRectangle* pnMain;
  TRectangle* pnTop;
  QLabel* lbTop;
  TRectangle* pnBottom;
  TTouchButton* btOK;
  QWidget* Layout;
  QLabel* lbDiscount;
  QLabel* lbCashback;
  QLabel* lbDiscountValue;
  QLabel* lbCashbackValue;
  QLabel* lbCashbackNote;
  QTimer* Timer1;

  void btOKMouseDown();

 protected:
  void showEvent(QShowEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void keyReleaseEvent(QKeyEvent* e) override;

 private:
  TLoyaltyGreetingView view_;
};
