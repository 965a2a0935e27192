#pragma once
// The kiosk's files and its bridge speak the Russian Windows code pages:
// "ANSI" is windows-1251 and "OEM" is IBM866. Text inside is QString.

#include <QByteArray>
#include <QString>

namespace plat {

QString fromAnsi(const QByteArray& bytes);
QByteArray toAnsi(const QString& text);
QString fromOem(const QByteArray& bytes);
QByteArray toOem(const QString& text);

}  // namespace plat
