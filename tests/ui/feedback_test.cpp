// Feedback mails: the escaping of the mailto address, the body's layout, and what the desktop is
// handed (the body comes back whole, "&" and "#" included), or the warning when it refuses.
#include <gtest/gtest.h>

#include <QUrlQuery>

#include "feedback_register_unit.h"
#include "ui_test_util.h"

namespace {

TEST(Feedback, MailtoEscapeTouchesOnlyControlsBlanksPercentAndSeparators) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"a b%c", "a%20b%25c"}, {"\r\n", "%0D%0A"},     {"ä", "ä"}, {"\t\x01", "%09%01"},
      {"x=1?y", "x=1?y"},     {"a&b#c", "a%26b%23c"}, {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(MailtoEscape(QString::fromUtf8(c.in)), QString::fromUtf8(c.out));
  }
}

TEST(Feedback, BodyLinesEndInCrLfAndTheReportOnlyWhenThere) {
  const QString plain =
      FeedbackMailBody(QStringLiteral("MelodySeeker"), QStringLiteral("1.00 64Bit"),
                       QStringLiteral("UID"), 12, 8, QStringLiteral("  "));
  const QStringList lines = plain.split(QStringLiteral("\r\n"));
  ASSERT_EQ(lines.size(), 7) << plain.toStdString();
  EXPECT_EQ(lines[0], QStringLiteral("<Ihre Nachricht>"));
  EXPECT_EQ(lines[1], QString());
  EXPECT_EQ(lines[2], QString(42, u'-'));
  EXPECT_TRUE(lines[3].startsWith(QStringLiteral("Betriebssystem: Linux")))
      << lines[3].toStdString();
  EXPECT_EQ(lines[4], QStringLiteral("Programmversion: MelodySeeker 1.00 64Bit"));
  EXPECT_EQ(lines[5], QStringLiteral("User: UID_U12_D8"));
  EXPECT_EQ(lines[6], QString());  // the user line ends in CR LF too

  const QString withreport =
      FeedbackMailBody(QStringLiteral("MelodySeeker"), QStringLiteral("1.00"),
                       QStringLiteral("UID"), 1, 0, QStringLiteral("Absturz"));
  EXPECT_TRUE(withreport.endsWith(QStringLiteral("User: UID_U1_D0\r\n\r\nReport:\r\nAbsturz")))
      << withreport.toStdString();
}

TEST(Feedback, SendMailHandsTheWholeBodyToTheDesktop) {
  uitest::UrlCatcher mail(QStringLiteral("mailto"));
  const QString body = QStringLiteral("Zeile 1\r\nA & B # C 100% ä");
  ASSERT_TRUE(
      SendMail(QStringLiteral("support@example.invalid"), QStringLiteral("Feedback"), body));
  ASSERT_EQ(mail.urls.size(), 1u);
  const QUrl& url = mail.urls[0];
  EXPECT_EQ(url.scheme(), QStringLiteral("mailto"));
  EXPECT_EQ(url.path(), QStringLiteral("support@example.invalid"));
  const QUrlQuery query(url);
  EXPECT_EQ(query.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded),
            QStringLiteral("Feedback"));
  EXPECT_EQ(query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded), body);
}

TEST(Feedback, RefusedMailIsAWarningAndFalse) {
  // The offscreen platform has no desktop to hand a mailto address to.
  uitest::ScopedPrompt prompt;
  EXPECT_FALSE(SendMail(QStringLiteral("support@example.invalid"), QStringLiteral("Feedback"),
                        QStringLiteral("x")));
  ASSERT_EQ(prompt.shown().size(), 1u);
  EXPECT_EQ(prompt.shown()[0].kind, TPromptKind::Warning);
  EXPECT_EQ(prompt.shown()[0].buttons, TPromptButtons::Ok);
}

}  // namespace
