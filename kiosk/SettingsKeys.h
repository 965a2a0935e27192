#pragma once
// Every key the kiosk keeps in vekta.ini: its section, name, stored form and
// the default a reader gets when it is missing or stored empty, with typed
// readers and writers. The store compares names without case, so "Global"
// and "global" are one section; the kiosk writes "Global".

#include <QDateTime>
#include <QString>
#include <QVariant>

class TSettingsStorage;

enum class TSettingType {
  Text,
  Integer,   // decimal text
  Boolean,   // "True" / "False"
  Password,  // upper-case hex of the scrambled windows-1251 bytes
  DateTime,  // the regional date-time text; empty means never
};

struct TSettingKey {
  const char* section;
  const char* name;
  TSettingType type;
  const char* defaultText;  // the default as it would be stored
};

namespace SettingsKeys {

inline constexpr const char* kGlobal = "Global";
inline constexpr const char* kKelto = "kelto";

// Back-office connection (service menu).
inline constexpr TSettingKey host{kGlobal, "host", TSettingType::Text, "127.0.0.1"};
inline constexpr TSettingKey port{kGlobal, "port", TSettingType::Integer, ""};
inline constexpr TSettingKey login{kGlobal, "login", TSettingType::Text, ""};
inline constexpr TSettingKey password{kGlobal, "password", TSettingType::Password, ""};
// Kiosk options (service menu).
inline constexpr TSettingKey autostart{kGlobal, "autostart", TSettingType::Boolean, "False"};
inline constexpr TSettingKey BringToFront{kGlobal, "BringToFront", TSettingType::Boolean, "False"};
inline constexpr TSettingKey VirtualKeyboard{kGlobal, "VirtualKeyboard", TSettingType::Boolean,
                                             "True"};
inline constexpr TSettingKey Hook{kGlobal, "Hook", TSettingType::Boolean, "False"};
inline constexpr TSettingKey pos_terminal_location{kGlobal, "pos_terminal_location",
                                                   TSettingType::Text, ""};
// Empty means the factory service password.
inline constexpr TSettingKey service_password{kGlobal, "service_password", TSettingType::Password,
                                              ""};
inline constexpr const char* kDefaultServicePassword = "5817";
// Device ports: -1 none tried yet.
inline constexpr TSettingKey sber_com_port{kGlobal, "sber_com_port", TSettingType::Integer, "-1"};
inline constexpr TSettingKey vendotek_com_port{kGlobal, "vendotek_com_port", TSettingType::Integer,
                                               "-1"};
inline constexpr TSettingKey payment_module_com_port{kGlobal, "payment_module_com_port",
                                                     TSettingType::Integer, "0"};
inline constexpr TSettingKey COMPort{kGlobal, "COMPort", TSettingType::Integer, "0"};
// Timestamps.
inline constexpr TSettingKey last_audit_dt{kGlobal, "last_audit_dt", TSettingType::DateTime, ""};
inline constexpr TSettingKey last_revise_totals_dt{kGlobal, "last_revise_totals_dt",
                                                   TSettingType::DateTime, ""};
// The back office's values, cached for an offline start and the footer.
inline constexpr TSettingKey vm_id{kGlobal, "vm_id", TSettingType::Integer, "0"};
inline constexpr TSettingKey terminal_id{kGlobal, "terminal_id", TSettingType::Integer, "0"};
inline constexpr TSettingKey protocolSerialNumber{kGlobal, "protocolSerialNumber",
                                                  TSettingType::Text, ""};
inline constexpr TSettingKey serialNumber{kGlobal, "serialNumber", TSettingType::Text, ""};
inline constexpr TSettingKey support_phone{kGlobal, "support_phone", TSettingType::Text, ""};
inline constexpr TSettingKey create_checks{kGlobal, "create_checks", TSettingType::Integer, "0"};
// Written for the record only; the program runs on the values it holds.
inline constexpr TSettingKey vekta_qr_code_delay{kGlobal, "vekta_qr_code_delay",
                                                 TSettingType::Integer, ""};
inline constexpr TSettingKey vekta_recycle_warning_delay{kGlobal, "vekta_recycle_warning_delay",
                                                         TSettingType::Integer, ""};
inline constexpr TSettingKey vekta_recycle_reset_delay{kGlobal, "vekta_recycle_reset_delay",
                                                       TSettingType::Integer, ""};
inline constexpr TSettingKey vekta_bar_code_delay{kGlobal, "vekta_bar_code_delay",
                                                  TSettingType::Integer, ""};
// The operator client's login form.
inline constexpr TSettingKey kelto_login{kKelto, "login", TSettingType::Text, ""};
inline constexpr TSettingKey kelto_make_audit{kKelto, "make_audit", TSettingType::Boolean, "True"};

// Every key, in the order above.
inline constexpr TSettingKey all[] = {host,
                                      port,
                                      login,
                                      password,
                                      autostart,
                                      BringToFront,
                                      VirtualKeyboard,
                                      Hook,
                                      pos_terminal_location,
                                      service_password,
                                      sber_com_port,
                                      vendotek_com_port,
                                      payment_module_com_port,
                                      COMPort,
                                      last_audit_dt,
                                      last_revise_totals_dt,
                                      vm_id,
                                      terminal_id,
                                      protocolSerialNumber,
                                      serialNumber,
                                      support_phone,
                                      create_checks,
                                      vekta_qr_code_delay,
                                      vekta_recycle_warning_delay,
                                      vekta_recycle_reset_delay,
                                      vekta_bar_code_delay,
                                      kelto_login,
                                      kelto_make_audit};

}  // namespace SettingsKeys

// Readers. A value stored empty reads as missing. readInt raises
// EConvertError for a value that is not a whole number (the caller treats
// that like any failed step); the others never raise.
QString readText(const TSettingsStorage& ss, const TSettingKey& key);
int readInt(const TSettingsStorage& ss, const TSettingKey& key);
// Compared with True: "True" in any case, or a non-zero number.
bool readBool(const TSettingsStorage& ss, const TSettingKey& key);
// The clear password; fallback when missing, undecodable or empty.
QString readPassword(const TSettingsStorage& ss, const TSettingKey& key,
                     const QString& fallback = QString());
// Invalid (never) when missing or unreadable.
QDateTime readDateTime(const TSettingsStorage& ss, const TSettingKey& key);

// Writers put the value in its stored form; saving the file is the caller's.
void writeText(TSettingsStorage& ss, const TSettingKey& key, const QString& value);
void writeInt(TSettingsStorage& ss, const TSettingKey& key, qint64 value);
void writeBool(TSettingsStorage& ss, const TSettingKey& key, bool value);
void writePassword(TSettingsStorage& ss, const TSettingKey& key, const QString& clear);
// An invalid date-time is stored empty, which reads back as never.
void writeDateTime(TSettingsStorage& ss, const TSettingKey& key, const QDateTime& value);
