// The loyalty greeting: which lines it shows for a card, its sound file, and
// that a key goes on to the scanner and closes it.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include "kiosk/LoyaltySystemCard.h"

namespace {

TLoyalityCardInfo card(double discount, double points, double cashbackPercent) {
  TLoyalityCardInfo c;
  c.isActive = true;
  c.user.first_name = QStringLiteral("Анна");
  c.discount.percent = discount;
  c.cashback.existed_summ = points;
  c.cashback.percent = cashbackPercent;
  return c;
}

}  // namespace

TEST(LoyaltyGreeting, ShowsOnlyTheLinesTheCardHas) {
  struct Case {
    const char* what;
    TLoyalityCardInfo card;
    bool discount;
    QString discountText;
    bool cashback;
    QString cashbackText;
    bool below;
    bool note;
  };
  const Case cases[] = {
      {"nothing", card(0, 0, 0), false, {}, false, {}, false, false},
      {"discount only", card(5, 0, 0), true, "5 %", false, {}, false, false},
      {"points only", card(0, 120, 0), false, {}, true, "120", false, true},
      {"both", card(7.5, 10.25, 3), true, "7,50 %", true, "10,25", true, true},
      // A cashback card without points yet shows 0 points and no note.
      {"cashback without points", card(0, 0, 3), false, {}, true, "0", false, false},
  };
  for (const Case& c : cases) {
    const TLoyaltyGreetingView v = loyaltyGreetingView(c.card);
    EXPECT_EQ(v.greeting, QStringLiteral("Здравствуйте, Анна!")) << c.what;
    EXPECT_EQ(v.discountVisible, c.discount) << c.what;
    EXPECT_EQ(v.discountText, c.discountText) << c.what;
    EXPECT_EQ(v.cashbackVisible, c.cashback) << c.what;
    EXPECT_EQ(v.cashbackText, c.cashbackText) << c.what;
    EXPECT_EQ(v.cashbackBelowDiscount, c.below) << c.what;
    EXPECT_EQ(v.noteVisible, c.note) << c.what;
  }
}

TEST(LoyaltyGreeting, PlaysTheSoundOnlyWhenTheFileIsThere) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QStringList played;
  {
    TfmLoyaltySystemCard form(card(5, 0, 0));
    form.programFolder = dir.path();
    form.playSound = [&](const QString& f) { played << f; };
    form.show();
  }
  EXPECT_TRUE(played.isEmpty());

  QFile wav(dir.filePath(QStringLiteral("discount.wav")));
  ASSERT_TRUE(wav.open(QIODevice::WriteOnly));
  wav.close();
  {
    TfmLoyaltySystemCard form(card(5, 0, 0));
    form.programFolder = dir.path();
    form.playSound = [&](const QString& f) { played << f; };
    form.show();
  }
  EXPECT_EQ(played, QStringList{wav.fileName()});
}

TEST(LoyaltyGreeting, AKeyGoesToTheScannerAndCloses) {
  TfmLoyaltySystemCard form(card(0, 50, 0));
  form.playSound = nullptr;
  QString keys;
  form.scannerKeyUp = [&](QKeyEvent* e) { keys += e->text(); };
  form.show();
  EXPECT_TRUE(form.lbCashbackNote->isVisibleTo(&form));
  EXPECT_FALSE(form.lbDiscount->isVisibleTo(&form));
  EXPECT_EQ(form.lbCashback->y(), 0);  // the points line moves up to the top
  QKeyEvent key(QEvent::KeyRelease, Qt::Key_4, Qt::NoModifier, QStringLiteral("4"));
  QApplication::sendEvent(&form, &key);
  EXPECT_EQ(keys, QStringLiteral("4"));
  EXPECT_FALSE(form.isVisible());
}

TEST(LoyaltyGreeting, ClosesByItselfAfterFiveSeconds) {
  TfmLoyaltySystemCard form(card(0, 0, 0));
  form.playSound = nullptr;
  EXPECT_EQ(form.Timer1->interval(), 5000);
  EXPECT_TRUE(form.Timer1->isActive());
  form.show();
  QMetaObject::invokeMethod(form.Timer1, "timeout");
  EXPECT_FALSE(form.isVisible());
}
