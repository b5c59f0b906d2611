#include "feedback_register_unit.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QUrl>
#include <cstdint>
#include <string>

#include "diagnostics/debug_unit.h"
#include "os/os_api_unit.h"
#include "platform/ui_prompt.h"

QString MailtoEscape(const QString& text) {
  static const char kHex[] = "0123456789ABCDEF";
  QString out;
  out.reserve(text.size());
  for (const QChar c : text) {
    const char16_t code = c.unicode();
    if (code <= 32 || code == u'%' || code == u'&' || code == u'#') {
      out += u'%';
      out += QChar(kHex[(code >> 4) & 0xF]);
      out += QChar(kHex[code & 0xF]);
    } else {
      out += c;
    }
  }
  return out;
}

QString FeedbackMailBody(const QString& appname, const QString& version, const QString& userid,
                         int usecount, int days, const QString& report) {
  const QString crlf = QStringLiteral("\r\n");
  std::int32_t major = 0, minor = 0;
  std::string os;
  const QString ostext = GetOSVersionString(major, minor, os)
                             ? QString::fromStdString(os)
                             : QStringLiteral("GetOSVersion() failed");
  QString body = QCoreApplication::translate("Feedback", "<Ihre Nachricht>") + crlf + crlf +
                 QString(42, u'-') + crlf +
                 QCoreApplication::translate("Feedback", "Betriebssystem: ") + ostext + crlf +
                 QCoreApplication::translate("Feedback", "Programmversion: ") + appname +
                 QStringLiteral(" ") + version + crlf + QStringLiteral("User: ") + userid +
                 QStringLiteral("_U") + QString::number(usecount) + QStringLiteral("_D") +
                 QString::number(days) + crlf;
  if (!report.trimmed().isEmpty()) body += crlf + QStringLiteral("Report:") + crlf + report;
  return body;
}

bool SendMail(const QString& address, const QString& subject, const QString& body) {
  Debug_Log("E-Mail versenden");
  const QString link = QStringLiteral("mailto:") + address + QStringLiteral("?subject=") +
                       MailtoEscape(subject) + QStringLiteral("&body=") + MailtoEscape(body);
  const QUrl url(link, QUrl::TolerantMode);
  if (url.isValid() && QDesktopServices::openUrl(url)) return true;
  ShowMessage(
      TPromptKind::Warning,
      QCoreApplication::translate("Feedback", "Das E-Mail-Programm konnte nicht gestartet werden.")
          .toStdString());
  return false;
}

bool SendFeedbackMail(const QString& appname, const QString& version, const QString& userid,
                      int usecount, int days, const QString& subject, const QString& report) {
  return SendMail(QString::fromLatin1(kSupportAddress), subject,
                  FeedbackMailBody(appname, version, userid, usecount, days, report));
}
