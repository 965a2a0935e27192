#include "kiosk/Scanner.h"

#include "kiosk/ConfigCycle.h"
#include "platform/Clock.h"
#include "platform/Exception.h"

int TScannerInput::barCodeDelay() const {
  return ctx.config ? ctx.config->bar_code_delay : 0;
}

void TScannerInput::FormKeyUp(int key, QChar keyChar) {
  if (key != kEnter && key != kLineFeed) {
    if (keyChar >= u'0' && keyChar <= u'9')
      input_text += keyChar;
    else
      input_text.clear();
    return;
  }

  const int64_t now = plat::clock().nowMs();
  if (!input_text.isEmpty() && input_text == last_bar_code && last_bar_code_tm != 0 &&
      now - last_bar_code_tm < barCodeDelay())
    input_text.clear();
  if (input_text.isEmpty()) return;

  const QString code = input_text;
  input_text.clear();
  QString notFound;
  try {
    IEventSink* sink = ctx.events ? ctx.events() : nullptr;
    if (!ctx.products)
      throw Exception(QStringLiteral("Продукт с штрих-кодом ") + shortenedBarcode(code) +
                      QStringLiteral(" не найден."));
    selected_product = ctx.products->getProductByBarcode(code, sink);
    product_selected = true;
    last_bar_code_tm = now;
    last_bar_code = code;
    return;
  } catch (const std::exception& e) {
    notFound = exceptionMessage(e);
  }
  if (checkLoyaltySystemCard(code)) {
    if (ctx.showLoyaltyGreeting) ctx.showLoyaltyGreeting();
    return;
  }
  throw Exception(notFound);
}

bool TScannerInput::checkLoyaltySystemCard(const QString& number) {
  if (number.isEmpty() || !ctx.config || !ctx.getLoyalityCardInfo) return false;
  const TVmConfig& cfg = *ctx.config;
  if (cfg.loyaltySystem_id == 0) return false;
  if (!cfg.loyalty_system_card_mask.isEmpty() &&
      !matchesCardMask(number, cfg.loyalty_system_card_mask))
    return false;
  ctx.getLoyalityCardInfo(cfg.vm_id, number, 3);
  return true;
}
