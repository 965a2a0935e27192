#pragma once
// Free-standing helpers that every part of the kiosk uses: raising errors,
// formatting, hexadecimal and Base64 text, the password scrambler, version
// text, Russian month and weekday names, file helpers and the data folder.
// The GUI helpers (text fitting, on-screen keyboard) live with the kiosk.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

#include "platform/ConsoleRunner.h"
#include "platform/Exception.h"
#include "platform/Xml.h"

// The single place through which user-visible texts pass; returns the text unchanged.
QString Translate(const QString& text);

// Makes a pattern written with bare "%" signs safe, then formats it: each "%"
// that starts no specifier gets the type letter of the next argument ("d" for
// integers, "f" for floating point, "s" for text and characters, nothing for
// other kinds). Never raises: a pattern that does not format comes back patched
// but unformatted.
QString SafeFormat(const QString& pattern, const QVariantList& args = {});

// The run-time format function: "%" [index ":"] ["-"] [width] ["." precision]
// one of d e f g m n p s u x; index, width and precision may be "*"; "%%" is a
// percent sign. Numbers use the Russian regional format. Raises EConvertError
// on a bad specifier, a missing argument or an argument of the wrong kind.
QString FormatText(const QString& pattern, const QVariantList& args);

// Raise Exception with Translate(message) or SafeFormat(pattern, args).
[[noreturn]] void RaiseError(const QString& message);
[[noreturn]] void RaiseErrorFmt(const QString& pattern, const QVariantList& args);

// Two upper-case hexadecimal digits per byte, no separators.
QString BytesToHex(const QByteArray& bytes);
// Inverse of BytesToHex; an odd-length text gets a leading "0"; digits of
// either case. Raises EConvertError for a pair that is not hexadecimal.
QByteArray HexToBytes(const QString& hex);

// RFC 4648 Base64 with "=" padding.
QString Base64Encode(const QByteArray& bytes);
// Four characters for one to three bytes (raises EConvertError for other lengths).
QString Base64EncodeGroup(const QByteArray& group);

// The keyed byte scrambler with which passwords are kept in the settings file.
// The result has the length of the input; the empty key is allowed.
QByteArray ScrambleText(const QByteArray& text, const QByteArray& key);
QByteArray UnscrambleText(const QByteArray& scrambled, const QByteArray& key);

// Passwords in the settings file: hex of the scrambled windows-1251 bytes with
// the key "tumobre". Decoding returns fallback when the stored text is empty,
// not hexadecimal, or decodes to an empty password.
QString encodeStoredPassword(const QString& password);
QString decodeStoredPassword(const QString& hex, const QString& fallback);

// A version text cut before its second "." ("3.14.2.7" gives "3.14").
QString CutVersionText(const QString& version);
// The version of a file: our programs carry the build's version; any other
// file has none and gives empty text.
QString GetFileVersionText(const QString& path);
// The running program's version, major.minor.
QString GetAppVersion();

// The whole file decoded from windows-1251; raises EFileError.
QString LoadTextFromFile(const QString& path);
// Replaces the file atomically with the text in windows-1251; raises EFileError.
void SaveTextToFile(const QString& path, const QString& text);
// Size of the file in bytes; raises EFileError.
qint64 FileSizeOf(const QString& path);

// Russian month name in the genitive, lower case ("марта"); empty outside 1..12.
QString MonthNameGenitive(int month);
// Russian weekday name, 1 = Monday .. 7 = Sunday ("Воскресенье"); empty otherwise.
QString DayOfWeekName(int day);

// The kiosk's data folder (VEKTA_DATA_DIR, else /var/lib/vekta); not created here.
QString GetCommonDataFolder();

// Appends each adapter's description (its interface name) and MAC text; true.
bool ListNetworkAdapters(QStringList& descriptions, QStringList& macAddresses);
// The first adapter's MAC text, else "00-00-00-00-00-00".
QString GetMacAddress();

// Numbers and dates in the Russian regional format that the kiosk's own files
// use: "," as decimal separator, dates "dd.MM.yyyy hh:mm:ss".
QString FloatToStrRegional(double value);
QString DateTimeToStrRegional(const QDateTime& value);
// Reads "dd.MM.yyyy hh:mm:ss", "dd.MM.yyyy h:mm:ss", "dd.MM.yyyy hh:mm" or
// "dd.MM.yyyy"; raises EConvertError otherwise.
QDateTime StrToDateTimeRegional(const QString& text);
// The standard value-to-text conversion: text as is, integers in decimal,
// Booleans "True"/"False", floating point and date-times regional, null and
// invalid empty. Raises EConvertError for a value with no text form.
QString VariantToText(const QVariant& value);
