#pragma once
// Failures are exceptions that carry the exact message text; callers and
// tests compare the texts. The class name is part of what some peers see
// (the bridge prints "ClassName: message"), so each class reports its own.

#include <QByteArray>
#include <QString>
#include <exception>

// The general error of the kiosk (raised by RaiseError and most layers).
class Exception : public std::exception {
 public:
  explicit Exception(QString message) : message_(std::move(message)), utf8_(message_.toUtf8()) {}
  const QString& message() const noexcept { return message_; }
  const char* what() const noexcept override { return utf8_.constData(); }
  virtual const char* className() const noexcept { return "Exception"; }

 private:
  QString message_;
  QByteArray utf8_;
};

#define VEKTA_EXCEPTION_CLASS(Name, Base)                             \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* className() const noexcept override { return #Name; } \
  };

// Argument and format errors of the settings store and the client library.
VEKTA_EXCEPTION_CLASS(EAbstractError, Exception)
// A text that is not a number, date or hexadecimal pair.
VEKTA_EXCEPTION_CLASS(EConvertError, Exception)
// File open, read and write failures.
VEKTA_EXCEPTION_CLASS(EFileError, Exception)

// A wait that ran out of time ("Timeout during operation.", "Timeout
// error.") and a wait broken off on request ("Operation was terminated.").
// Callers that treat them apart from other failures catch the type; the texts
// stay those the peers and tests know, and so does the class name, since
// these were plain errors before they had types of their own.
class ETimeout : public Exception {
 public:
  using Exception::Exception;
};
class ETerminated : public Exception {
 public:
  using Exception::Exception;
};

// The message of any exception, for logs and dialogs.
inline QString exceptionMessage(const std::exception& e) {
  if (auto* x = dynamic_cast<const Exception*>(&e)) return x->message();
  return QString::fromUtf8(e.what());
}
