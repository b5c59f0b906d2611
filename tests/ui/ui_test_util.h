#pragma once
// Helpers of the UI tests: a prompt that records every message box and answers from a script,
// a handler that catches the addresses the desktop would open, answering the next modal dialog,
// waiting while the event loop runs, and per-test directories and environment.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui_prompt.h"

namespace uitest {

struct Shown {
  TPromptKind kind;
  std::string text;
  TPromptButtons buttons;
};

// Records every box; answers questions from `answers` in order, then with the choice that
// changes nothing. Installed for the life of the object.
class CapturePrompt : public TUiPrompt {
 public:
  CapturePrompt() = default;
  TPromptResult Show(TPromptKind kind, std::string_view text, TPromptButtons buttons) override {
    std::lock_guard<std::mutex> lock(mu);
    shown.push_back({kind, std::string(text), buttons});
    if (buttons == TPromptButtons::Ok) return TPromptResult::Ok;
    if (answers.empty()) return NonDestructiveChoice(buttons);
    const TPromptResult a = answers.front();
    answers.pop_front();
    return a;
  }
  std::mutex mu;
  std::vector<Shown> shown;
  std::deque<TPromptResult> answers;
};

class ScopedPrompt {
 public:
  explicit ScopedPrompt(std::deque<TPromptResult> answers = {})
      : prompt(std::make_shared<CapturePrompt>()) {
    prompt->answers = std::move(answers);
    FOld = SetUiPrompt(prompt);
  }
  ~ScopedPrompt() { SetUiPrompt(FOld); }
  ScopedPrompt(const ScopedPrompt&) = delete;
  ScopedPrompt& operator=(const ScopedPrompt&) = delete;
  const std::vector<Shown>& shown() const { return prompt->shown; }
  std::shared_ptr<CapturePrompt> prompt;

 private:
  std::shared_ptr<TUiPrompt> FOld;
};

// Catches what QDesktopServices::openUrl would hand to the desktop for `scheme`.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  explicit UrlCatcher(const QString& scheme) : FScheme(scheme) {
    QDesktopServices::setUrlHandler(scheme, this, "open");
  }
  ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(FScheme); }
  std::vector<QUrl> urls;
 public slots:
  void open(const QUrl& url) { urls.push_back(url); }

 private:
  QString FScheme;
};

// Runs the event loop until `done` or the time limit; true when done.
inline bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Calls `act` on the next modal widget once it is shown (polled from the event loop, so it
// works for dialogs opened with exec()).
inline void WhenModal(std::function<void(QWidget*)> act) {
  auto* timer = new QTimer(qApp);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, act = std::move(act)] {
    QWidget* w = QApplication::activeModalWidget();
    if (w == nullptr || !w->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    act(w);
  });
  timer->start();
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ms-ui-XXXXXX").string();
    FPath = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return FPath; }
  std::string file(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = std::make_unique<std::string>(old);
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (FOld)
      setenv(FName, FOld->c_str(), 1);
    else
      unsetenv(FName);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* FName;
  std::unique_ptr<std::string> FOld;
};

}  // namespace uitest
