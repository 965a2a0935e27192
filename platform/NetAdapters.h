#pragma once
// The network adapters' hardware addresses.

#include <QList>
#include <QString>

namespace plat {

struct NetAdapter {
  QString name;  // interface name, e.g. "eth0"
  QString mac;   // "XX-XX-XX-XX-XX-XX", upper case
};

// Every adapter with a hardware address, loopback and all-zero addresses
// left out, sorted by interface name so the first one is stable across runs.
QList<NetAdapter> networkAdapters();

// MAC text of six (or any number of) bytes: upper-case pairs joined by "-".
QString macText(const unsigned char* bytes, int length);

}  // namespace plat
