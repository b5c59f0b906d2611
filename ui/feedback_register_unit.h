#pragma once
// Feedback and error-report mails: the body with the program's facts, the mailto address, and
// handing it to the desktop's mail program (QDesktopServices, i.e. xdg-open).
//
// GUI thread only (SendMail may show a message box).

#include <QString>

// The support address the mails go to.
inline constexpr char kSupportAddress[] = "support@melodyseeker.invalid";

// Every character up to code 32 and "%" become "%" and two upper-case hex digits; so do "&" and
// "#", which would otherwise end the body early (a new header field, a fragment) and lose the
// rest of a report. Everything else stays: "ä" stays "ä".
QString MailtoEscape(const QString& text);

// The mail body, lines ending in CR LF: "<Ihre Nachricht>", an empty line, 42 hyphens, the
// operating system, the program version, the user; then, when the trimmed report is not empty,
// an empty line, "Report:" and the report (no line end after it).
QString FeedbackMailBody(const QString& appname, const QString& version, const QString& userid,
                         int usecount, int days, const QString& report);

// Opens "mailto:<address>?subject=<subject>&body=<body>" (both escaped). True when the desktop
// took it; otherwise a warning with the reason and false.
bool SendMail(const QString& address, const QString& subject, const QString& body);

bool SendFeedbackMail(const QString& appname, const QString& version, const QString& userid,
                      int usecount, int days, const QString& subject, const QString& report);
