// Unhandled errors in the GUI thread: caught at the event loop, traced, shown with the offer to
// report; Yes sends the report mail, No does not; the program keeps handling events.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QUrlQuery>
#include <stdexcept>

#include "melodyseeker_app.h"
#include "ui_test_util.h"

namespace {

class Thrower : public QObject {
 public:
  int handled = 0;
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) {
      ++handled;
      throw std::runtime_error("Zugriffsverletzung bei 0x0");
    }
    if (e->type() == QEvent::User + 1) {
      ++handled;
      return true;
    }
    return QObject::event(e);
  }
};

TEST(AppException, CaughtShownAndTheProgramGoesOn) {
  auto* app = qobject_cast<TMelodySeekerApp*>(qApp);
  ASSERT_NE(app, nullptr);
  Thrower target;
  uitest::UrlCatcher mail(QStringLiteral("mailto"));
  {
    uitest::ScopedPrompt prompt({TPromptResult::No});
    QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&target, new QEvent(static_cast<QEvent::Type>(QEvent::User + 1)));
    ASSERT_TRUE(uitest::WaitFor([&] { return target.handled == 2; }));  // the next event still runs
    ASSERT_EQ(prompt.shown().size(), 2u);
    EXPECT_EQ(prompt.shown()[0].kind, TPromptKind::Warning);
    EXPECT_EQ(prompt.shown()[0].buttons, TPromptButtons::YesNo);
    EXPECT_EQ(
        prompt.shown()[0].text,
        "Es ist folgendes Problem aufgetreten:\n\rZugriffsverletzung bei 0x0\n\r\n\r\n\rWollen "
        "Sie das Problem zur allgemeinen Programmverbesserung an die Entwicklung schicken?");
    EXPECT_EQ(prompt.shown()[1].kind, TPromptKind::Information);
    EXPECT_EQ(prompt.shown()[1].text,
              "Bitte überprüfen Sie bei Problemen immer ob eine neuere Programmversion vorliegt.");
    EXPECT_TRUE(mail.urls.empty());
  }
  uitest::ScopedPrompt prompt({TPromptResult::Yes});
  QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
  ASSERT_TRUE(uitest::WaitFor([&] { return !mail.urls.empty(); }));
  EXPECT_EQ(prompt.shown().size(), 2u);
  const QUrlQuery query(mail.urls[0]);
  EXPECT_EQ(query.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded),
            QStringLiteral("ExceptionReport"));
  const QString body = query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded);
  EXPECT_TRUE(
      body.contains(QStringLiteral("Report:\r\nException: Zugriffsverletzung bei 0x0\n\r\n\r")))
      << body.toStdString();
}

}  // namespace
