#include "screens/Cashback.h"

#include <QLabel>

#include "kiosk/Common.h"
#include "kiosk/FormServices.h"
#include "kiosk/Main.h"
#include "kiosk/TouchButton.h"
#include "platform/Exception.h"

TfmCashback* fmCashback = nullptr;

namespace {

constexpr int mrOk = 1;

}  // namespace

void kioskBonusWriteOff(double amount) {
  if (!fmMain || !fmMain->kernel_api) throw Exception(QStringLiteral("Нет связи с сервером."));
  fmMain->kernel_api->loyalityCardBonusWriteOff(int(fmMain->vm_id), fmMain->loyaltyCardInfo, amount,
                                                30);
}

QString TfmCashback::headingText(double amount) {
  return QStringLiteral("Баллов к списанию: ") + TFormServices::formatAmount(amount);
}

TfmCashback::TfmCashback(QWidget* parent, std::function<void(double)> writeOff)
    : QDialog(parent), writeOff_(writeOff ? std::move(writeOff) : kioskBonusWriteOff) {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setWindowTitle(QStringLiteral("Списание баллов"));
  pnBackground = new TRectangle(this);
  pnBackground->setFillColor(QColor(0, 0, 0, 178));
  pnMain = new TRectangle(this);
  pnMain->setFillColor(QColor(0xDE, 0xB8, 0x87));
  pnTop = new TRectangle(pnMain);
  pnTop->setFillColor(QColor(0xB8, 0x86, 0x0B));
  lbTop = new QLabel(QStringLiteral("Баллов к списанию:"), pnTop);
  lbTop->setTextFormat(Qt::PlainText);
  QFont f = lbTop->font();
  f.setBold(true);
  f.setPointSizeF(30);
  lbTop->setFont(f);
  Layout = new QWidget(pnMain);
  btOK = new TTouchButton(QStringLiteral("Списать баллы"), Layout);
  QFont bf = btOK->label()->font();
  bf.setBold(true);
  btOK->label()->setFont(bf);
  btCancel = new TTouchButton(QStringLiteral("Не списывать баллы"), Layout);
  connect(btOK, &TRectangle::mouseDown, this, &TfmCashback::btOKMouseDown);
  connect(btCancel, &TRectangle::mouseDown, this, &TfmCashback::btCancelMouseDown);
}

void TfmCashback::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FitFormToMainForm(this);
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  pnBackground->setGeometry(rect());
  lbTop->setText(headingText(amount));
  const double mw = W * 2 / 3, mh = H * 2 / 3;
  pnMain->setGeometry(QRectF((W - mw) / 2, (H - mh) / 2, mw, mh).toRect());
  const double margin = mw / 100;
  FitFontSize(lbTop, mw / 2 - margin);
  const double topH = lbTop->height() * 2.5;
  pnTop->setGeometry(QRectF(0, 0, mw, topH).toRect());
  lbTop->move(int(margin), int((topH - lbTop->height()) / 2));
  Layout->setGeometry(QRectF(0, topH, mw, mh - topH).toRect());
  const double bh = topH;
  SetFontSize(btOK->label(), FontSizeOf(lbTop));
  SetFontSize(btCancel->label(), FontSizeOf(lbTop));
  const double bw = std::min(mw, MeasureTextWidth(btCancel->label()) + 2 * bh);
  const double g = (Layout->height() - 2 * bh) / 3;
  btOK->setGeometry(QRectF((mw - bw) / 2, g, bw, bh).toRect());
  btCancel->setGeometry(QRectF((mw - bw) / 2, 2 * g + bh, bw, bh).toRect());
}

void TfmCashback::btOKMouseDown() {
  if (fmMain) fmMain->buttonPressed(btOK);
  // A refused write-off raises and leaves the dialog open: the customer may
  // try again or decline.
  writeOff_(amount);
  done(mrOk);
}

void TfmCashback::btCancelMouseDown() {
  if (fmMain) fmMain->buttonPressed(btCancel);
  amount = 0;
  done(mrOk);
}
