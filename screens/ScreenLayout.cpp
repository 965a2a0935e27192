#include "screens/ScreenLayout.h"

#include <QDialog>
#include <QLabel>

#include "kiosk/Common.h"
#include "kiosk/FormServices.h"
#include "kiosk/Main.h"
#include "kiosk/Pictures.h"
#include "kiosk/TouchButton.h"
#include "screens/PaymentThreads.h"

void setUpSaleScreenWindow(QDialog* form, const QString& title) {
  form->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  form->setWindowTitle(title);
  form->setAutoFillBackground(true);
  QPalette pal = form->palette();
  pal.setColor(QPalette::Window, Qt::white);
  form->setPalette(pal);
}

QLabel* saleScreenLabel(const QString& text, QWidget* parent, const char* name, bool bold,
                        double points) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(QLatin1String(name));
  l->setTextFormat(Qt::PlainText);
  QFont f = l->font();
  f.setPointSizeF(points);
  f.setBold(bold);
  l->setFont(f);
  l->adjustSize();
  return l;
}

void centreX(QWidget* w, double left, double width) {
  w->move(int(left + (width - w->width()) / 2), w->y());
}

TSaleScreenHeader createSaleScreenHeader(QWidget* form) {
  TSaleScreenHeader h;
  h.pnTop = new TRectangle(form);
  h.pnTop->setFillColor(QColor(0xDE, 0xB8, 0x87));
  h.lbTop = saleScreenLabel(QStringLiteral("Оплата покупки"), h.pnTop, "lbTop", true);
  h.btClose = new TRectangle(h.pnTop);
  h.btClose->setObjectName(QStringLiteral("btClose"));
  h.btClose->setFillColor(QColor(0xDE, 0xB8, 0x87));
  auto* cross = new QLabel(h.btClose);
  SetPicture(cross, crossPicture);
  return h;
}

double layoutSaleScreenHeader(const TSaleScreenHeader& header, double width, bool landscape) {
  const double W = width;
  FitFontSize(header.lbTop, landscape ? W / 3 : W / 2);
  const double top = header.lbTop->height() * 1.5;
  header.pnTop->setGeometry(0, 0, int(W), int(top));
  header.lbTop->move(int((W - header.lbTop->width()) / 2), int((top - header.lbTop->height()) / 2));
  header.btClose->setGeometry(int(W - top * 0.9), int(top * 0.1), int(top * 0.8), int(top * 0.8));
  FitPicture(header.btClose->findChild<QLabel*>(),
             QRectF(int(top * 0.2), int(top * 0.2), int(top * 0.4), int(top * 0.4)));
  return top;
}

void createErrorLines(QWidget* form, QLabel*& lbErr1, QLabel*& lbErr2) {
  lbErr1 = saleScreenLabel(QString::fromUtf8(kPaymentFailed), form, "lbErr1", true);
  lbErr1->setStyleSheet(QStringLiteral("color: #C00000"));
  lbErr2 = saleScreenLabel(QString(), form, "lbErr2");
  lbErr2->setStyleSheet(QStringLiteral("color: #C00000"));
}

void fitErrorText(QLabel* lbErr2, const QLabel* lbErr1, double limit) {
  FitFontSize(lbErr2, limit);
  if (FontSizeOf(lbErr2) > FontSizeOf(lbErr1)) SetFontSize(lbErr2, FontSizeOf(lbErr1));
}

TRectangle* createSerialNumberPanel(QWidget* form, QLabel*& lbSerialNumber,
                                    QLabel*& lbSupportPhone) {
  auto* panel = new TRectangle(form);
  panel->setObjectName(QStringLiteral("pnSerialNumber"));
  panel->setFillColor(Qt::black);
  lbSerialNumber = saleScreenLabel(QString(), panel, "lbSerialNumber");
  lbSupportPhone = saleScreenLabel(QString(), panel, "lbSupportPhone");
  // The labels' own text colour is the panel's black.
  for (QLabel* l : {lbSerialNumber, lbSupportPhone}) {
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, Qt::darkGray);
    l->setPalette(pal);
  }
  panel->hide();
  return panel;
}

TSaleScreenArea fitSaleScreen(QWidget* form, QWidget* pnSerialNumber) {
  FitFormToMainForm(form);
  const QSizeF screen = ScreenSize();
  if (fmMain) fmMain->updateSerialNumberPanel(pnSerialNumber);
  const double footer = pnSerialNumber->isVisible() ? pnSerialNumber->height() : 0;
  return {screen.width(), screen.height(), screen.height() - footer};
}

void showAmountLines(QLabel* lbPaymentAmount, QLabel* lbTotal, QLabel* lbDiscount,
                     QLabel* lbCashback, double payment_amount, double total_amount,
                     double discount, double cashback) {
  lbPaymentAmount->setText(TFormServices::formatAmount(payment_amount) + QStringLiteral(" ₽"));
  const bool details = discount + cashback > 0;
  lbTotal->setVisible(details);
  if (details)
    lbTotal->setText(QStringLiteral("Итого: ") + TFormServices::formatAmount(total_amount));
  lbDiscount->setVisible(discount > 0);
  if (discount > 0)
    lbDiscount->setText(QStringLiteral("Скидка: ") + TFormServices::formatAmount(discount));
  lbCashback->setVisible(cashback > 0);
  if (cashback > 0)
    lbCashback->setText(QStringLiteral("Списано баллов: ") + TFormServices::formatAmount(cashback));
}
