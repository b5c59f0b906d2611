// The Qt message boxes behind the core's prompt seam: kind, buttons and answer of each box,
// modal and centred, plain text with the program's line joins, callable from worker threads;
// the configuration reset asks with OK and Abort. And the Qt main-thread queue.
#include "qt_ui_prompt.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "qt_main_thread_queue.h"
#include "service/melodyseeker_glob_unit.h"
#include "ui_test_util.h"

namespace {

using uitest::WaitFor;
using uitest::WhenModal;

struct SeenBox {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  QString text;
  bool modal = false;
  bool centred = false;
  Qt::TextFormat format = Qt::AutoText;
};

// Answers the next box by clicking `click` and notes what it looked like.
void ClickNextBox(QMessageBox::StandardButton click, SeenBox& seen) {
  WhenModal([click, &seen](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(box, nullptr);
    seen.icon = box->icon();
    seen.buttons = box->standardButtons();
    seen.text = box->text();
    seen.modal = box->windowModality() == Qt::ApplicationModal;
    seen.format = box->textFormat();
    const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    seen.centred = (box->frameGeometry().center() - centre).manhattanLength() <= 4;
    box->button(click)->click();
  });
}

TEST(QtUiPrompt, EachKindAndButtonSetGivesItsBoxAndAnswer) {
  using B = QMessageBox;
  const struct {
    TPromptKind kind;
    TPromptButtons buttons;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons shown;
    QMessageBox::StandardButton click;
    TPromptResult result;
  } cases[] = {
      {TPromptKind::Information, TPromptButtons::Ok, B::Information, B::Ok, B::Ok,
       TPromptResult::Ok},
      {TPromptKind::Warning, TPromptButtons::Ok, B::Warning, B::Ok, B::Ok, TPromptResult::Ok},
      {TPromptKind::Error, TPromptButtons::Ok, B::Critical, B::Ok, B::Ok, TPromptResult::Ok},
      {TPromptKind::Confirmation, TPromptButtons::YesNo, B::Question, B::Yes | B::No, B::Yes,
       TPromptResult::Yes},
      {TPromptKind::Confirmation, TPromptButtons::YesNo, B::Question, B::Yes | B::No, B::No,
       TPromptResult::No},
      {TPromptKind::Warning, TPromptButtons::YesNo, B::Warning, B::Yes | B::No, B::No,
       TPromptResult::No},
      {TPromptKind::Confirmation, TPromptButtons::OkAbort, B::Question, B::Ok | B::Abort, B::Abort,
       TPromptResult::Abort},
      {TPromptKind::Confirmation, TPromptButtons::OkAbort, B::Question, B::Ok | B::Abort, B::Ok,
       TPromptResult::Ok},
      {TPromptKind::Confirmation, TPromptButtons::OkCancel, B::Question, B::Ok | B::Cancel,
       B::Cancel, TPromptResult::Cancel},
  };
  TQtUiPrompt prompt;
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.click));
    SeenBox seen;
    ClickNextBox(c.click, seen);
    EXPECT_EQ(prompt.Show(c.kind, "Zeile 1\n\rZeile <b>2</b>", c.buttons), c.result);
    EXPECT_EQ(seen.icon, c.icon);
    EXPECT_EQ(seen.buttons, c.shown);
    EXPECT_TRUE(seen.modal);
    EXPECT_TRUE(seen.centred);
    EXPECT_EQ(seen.format, Qt::PlainText);  // "<b>" stays visible, no markup
    EXPECT_EQ(seen.text, QStringLiteral("Zeile 1\nZeile <b>2</b>"));
  }
}

TEST(QtUiPrompt, LineJoinsBecomeOneBreakEach) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"a\n\rb", "a\nb"},       {"a\r\nb", "a\nb"},
      {"a\rb", "a\nb"},         {"a\r\rb", "a\n\nb"},
      {"a\n\r\n\rb", "a\n\nb"}, {"a\n\r\n\r\n\rb", "a\n\n\nb"},
      {"a\n\r", "a\n"},         {"ab", "ab"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(MessageBoxText(QString::fromUtf8(c.in)), QString::fromUtf8(c.out));
  }
}

TEST(QtUiPrompt, WorkerThreadWaitsForTheBoxShownInTheGuiThread) {
  TQtUiPrompt prompt;
  SeenBox seen;
  ClickNextBox(QMessageBox::No, seen);
  std::atomic<bool> done{false};
  TPromptResult result = TPromptResult::Ok;
  std::thread worker([&] {
    result = prompt.Show(TPromptKind::Confirmation, "Frage", TPromptButtons::YesNo);
    done = true;
  });
  EXPECT_TRUE(WaitFor([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(result, TPromptResult::No);
  EXPECT_EQ(seen.text, QStringLiteral("Frage"));
}

TEST(QtUiPrompt, ConfigurationResetAsksWithOkAndAbort) {
  uitest::TempDir dir;
  const std::string file = dir.file("MelodySeeker.ini");
  std::filesystem::create_directories(dir.file("Backup"));
  std::ofstream(file) << "[KONFIG]\nuserid=KEEP\nUCOUNT=3\n";
  auto old = SetUiPrompt(std::make_shared<TQtUiPrompt>());
  SeenBox seen;
  ClickNextBox(QMessageBox::Abort, seen);
  EXPECT_FALSE(ResetConfiguration(file, dir.file("Backup")));
  SetUiPrompt(old);
  EXPECT_EQ(seen.buttons, QMessageBox::Ok | QMessageBox::Abort);
  EXPECT_TRUE(seen.text.startsWith(QStringLiteral("Achtung: Ihre aktuelle Konfiguration")));
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("Backup")));  // Abort moved nothing
}

TEST(QtMainThreadQueue, WorkersReachTheGuiThreadThroughTheEventLoop) {
  TQtMainThreadQueue queue;
  EXPECT_TRUE(queue.is_main_thread());
  const auto gui = std::this_thread::get_id();
  std::atomic<int> posted_ran{0};
  std::atomic<bool> posted_in_gui{true}, sync_returned{false};
  std::thread::id sync_ran_in;
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i)
      queue.post([&] {
        if (std::this_thread::get_id() != gui) posted_in_gui = false;
        ++posted_ran;
      });
    EXPECT_TRUE(queue.sync([&] { sync_ran_in = std::this_thread::get_id(); }));
    sync_returned = true;
  });
  // Nobody calls process_pending: the event loop alone must run the tasks.
  EXPECT_TRUE(WaitFor([&] { return sync_returned.load(); }));
  worker.join();
  EXPECT_EQ(posted_ran.load(), 3);
  EXPECT_TRUE(posted_in_gui);
  EXPECT_EQ(sync_ran_in, gui);

  // Closed: later work is refused and a waiting caller is released.
  queue.close();
  bool ran = false;
  EXPECT_FALSE(queue.post([&] { ran = true; }));
  std::thread late([&] { EXPECT_FALSE(queue.sync([&] { ran = true; })); });
  late.join();
  QApplication::processEvents();
  EXPECT_FALSE(ran);
}

}  // namespace
