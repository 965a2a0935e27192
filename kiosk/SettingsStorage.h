#pragma once
// The kiosk's local settings: a tree of named keys, each holding named values,
// read from and written to one ini-like text file ("[Global]", "name=value").
// Names of keys and values compare without letter case and without the blanks
// and control characters around them; each keeps the spelling it was first
// stored with. Used on the main thread only; it has no lock.

#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>
#include <vector>

// One named value.
struct TSettingsStorageParam {
  QString Name;    // as first stored, untrimmed
  QVariant Value;  // any type in memory; text after a load
};

// One key of the tree; owns its sub-keys.
class TSettingsStorageKey {
 public:
  explicit TSettingsStorageKey(QString node) : Node(std::move(node)) {}
  QString Node;
  std::vector<std::unique_ptr<TSettingsStorageKey>> Children;
  std::vector<TSettingsStorageParam> Params;
};

class TSettingsStorage {
 public:
  TSettingsStorage() = default;
  TSettingsStorage(TSettingsStorage&&) = default;
  TSettingsStorage& operator=(TSettingsStorage&&) = default;

  // A key path names a top-level key, then a child of it, and so on; it must
  // not be empty and no component may be blank (EAbstractError otherwise).

  // Stores Value under Name in the key at Key, creating missing keys; an
  // equal name gets the new value and keeps its first spelling. An empty Name
  // changes nothing.
  void Put(const QStringList& Key, const QString& Name, const QVariant& Value);
  // The stored value, or DefaultValue when the key or the name is missing.
  QVariant Get(const QStringList& Key, const QString& Name,
               const QVariant& DefaultValue = QVariant()) const;
  // Removes the key with its whole subtree; EAbstractError when it is missing.
  void DeleteKey(const QStringList& Key);

  // Appends the store's lines: "[a  b]" section lines (the key path joined by
  // two blanks), then "name=value" lines. Control characters in names and
  // values become blanks, so no value can start a line or a section. Raises
  // EConvertError for a value with no text form; the lines before it stay.
  void SaveToStrings(QStringList& S) const;
  // Reads lines into the store, adding to what is there. Control characters
  // read as the blanks the save writes for them. Lines before the first
  // section, without "=", with a blank name or an empty value are skipped. A
  // section line with a blank component raises Put's error; what was read
  // before it stays.
  void LoadFromStrings(const QStringList& S);

  // What a save reports: an empty error when the file was written.
  struct [[nodiscard]] SaveResult {
    QString error;
    explicit operator bool() const { return error.isEmpty(); }
  };
  // Writes the file (IniFileName when FileName is empty) atomically, in
  // windows-1251 with CR LF line ends (UTF-8 with its byte-order mark when
  // the text holds a letter windows-1251 lacks), creating its folder chain.
  // The file is readable by its owner alone (0600, whatever the mode of the
  // file it replaces), and so is every folder made for it (0700). Never
  // raises: a failure to convert, make the folder or write is returned, the
  // old file stays as it was and the store is unchanged. The caller reports
  // it as fits where it runs: no one may be there to read a message.
  SaveResult SaveToIniFile(const QString& FileName = QString()) const;
  // Reads the file (IniFileName when empty): a UTF-8 or UTF-16 byte-order mark
  // selects that encoding, else windows-1251; lines end at CR, LF or CR LF.
  // Raises EFileError when the file cannot be read, is empty, is not valid in
  // its encoding or holds no section line; a failure part-way also raises,
  // and what was read before stays in the store.
  void LoadFromIniFile(const QString& FileName = QString());

  // Start-up load, each file into a fresh store of its own, never mixed:
  // fileName (vekta.ini) when it loads whole; else its backup (fileName +
  // "~") when that loads whole; else the values read from fileName before
  // its fault; else those read from the backup before its fault. The result
  // replaces the keys of `into` and sets its IniFileName to fileName.
  struct LoadReport {
    enum Source { None, Main, Backup, MainPart, BackupPart } source = None;
    QString mainError;    // why the main file did not load whole (empty when missing)
    QString backupError;  // why the backup did not either
  };
  static LoadReport loadWithBackup(TSettingsStorage& into, const QString& fileName);
  // Close-time save: the file and then its backup, each atomically; both are
  // attempted. Raises EFileError with the first failure.
  void saveWithBackup(const QString& FileName = QString()) const;

  // The backup file name of a settings file.
  static QString backupFileName(const QString& fileName) { return fileName + QLatin1Char('~'); }

  const std::vector<std::unique_ptr<TSettingsStorageKey>>& keys() const { return FKeys; }

  QString IniFileName;
  QString ComponentsIniFileName;  // kept for the callers that set it; nothing reads it

 private:
  std::vector<std::unique_ptr<TSettingsStorageKey>> FKeys;
};
