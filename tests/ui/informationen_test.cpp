// The about box: version and date labels, the addresses its buttons open, help and feedback.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QSignalSpy>
#include <QUrlQuery>

#include "informationen_unit.h"
#include "ui_test_util.h"

namespace {

TEST(AboutBox, LabelsAndWhatEachButtonOpens) {
  Tinfoform box;
  box.Fill(QStringLiteral("1.00 64Bit"), QStringLiteral("05.03.2024"),
           {QStringLiteral("UID"), 3, 2});
  EXPECT_EQ(box.windowTitle(), QStringLiteral("Produktinformationen"));
  EXPECT_EQ(box.findChild<QLabel*>(QStringLiteral("lblVersion"))->text(),
            QStringLiteral("MelodySeeker Version 1.00 64Bit"));
  EXPECT_EQ(box.findChild<QLabel*>(QStringLiteral("lblDatum"))->text(),
            QStringLiteral("(05.03.2024)"));

  uitest::UrlCatcher web(QStringLiteral("https"));
  uitest::UrlCatcher mail(QStringLiteral("mailto"));
  const auto click = [&](const char* name, const char* caption) {
    auto* b = box.findChild<QPushButton*>(QString::fromLatin1(name));
    ASSERT_NE(b, nullptr) << name;
    EXPECT_EQ(b->text(), QString::fromUtf8(caption));
    b->click();
  };
  click("btnDatenschutz", "Datenschutzerklärung");
  click("btnUpdate", "auf Update prüfen");
  ASSERT_EQ(web.urls.size(), 2u);
  EXPECT_EQ(web.urls[0].toString(), QString::fromLatin1(kMakerSite) + QStringLiteral("legal_de/"));
  EXPECT_EQ(web.urls[1].toString(),
            QString::fromLatin1(kMakerSite) + QStringLiteral("MelodySeeker/version.html?1.00"));

  click("btnFeedback", "Feedback");
  ASSERT_EQ(mail.urls.size(), 1u);
  EXPECT_EQ(QUrlQuery(mail.urls[0]).queryItemValue(QStringLiteral("subject")),
            QStringLiteral("Feedback"));
  EXPECT_TRUE(QUrlQuery(mail.urls[0])
                  .queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded)
                  .contains(QStringLiteral("User: UID_U3_D2\r\n")));

  QSignalSpy help(&box, &Tinfoform::helpRequested);
  box.HelpButton()->click();
  EXPECT_EQ(help.count(), 1);
  click("btnSchliessen", "&Schließen");
}

TEST(AboutBox, PageThatCannotOpenIsAWarningNamingIt) {
  uitest::ScopedPrompt prompt;  // offscreen: no desktop to open anything with
  EXPECT_FALSE(OpenPage(QStringLiteral("https://example.invalid/x")));
  ASSERT_EQ(prompt.shown().size(), 1u);
  EXPECT_EQ(prompt.shown()[0].kind, TPromptKind::Warning);
  EXPECT_NE(prompt.shown()[0].text.find("https://example.invalid/x"), std::string::npos);
}

}  // namespace
