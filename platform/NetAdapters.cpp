#include "platform/NetAdapters.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <algorithm>

namespace plat {

QString macText(const unsigned char* bytes, int length) {
  QStringList parts;
  for (int i = 0; i < length; ++i)
    parts << QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
  return parts.join(QLatin1Char('-'));
}

QList<NetAdapter> networkAdapters() {
  QList<NetAdapter> result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET) continue;
    if (a->ifa_flags & IFF_LOOPBACK) continue;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
    const int len = std::min<int>(ll->sll_halen, sizeof ll->sll_addr);
    if (len <= 0) continue;
    if (std::all_of(ll->sll_addr, ll->sll_addr + len, [](unsigned char b) { return b == 0; }))
      continue;
    result.append({QString::fromLocal8Bit(a->ifa_name), macText(ll->sll_addr, len)});
  }
  freeifaddrs(list);
  std::sort(result.begin(), result.end(),
            [](const NetAdapter& x, const NetAdapter& y) { return x.name < y.name; });
  return result;
}

}  // namespace plat
