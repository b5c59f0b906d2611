#pragma once
// The download window shown while the fingerprint cache is brought up to date at start-up: a
// bold status line, an information picture, one bar over the list of cache files and one
// within the current file. The download itself runs in the core (web/cacheupdate_unit); this
// window only shows the statuses it posts to the main thread.
//
// A tool window at the bottom-right corner of its monitor's work area. The close button only
// hides it: the download goes on. After a failure it keeps showing "Abgebrochen" and the
// reason; Ready() hides it.
//
// GUI thread only.

#include <QLabel>
#include <QProgressBar>
#include <QWidget>
#include <cstdint>

struct TCacheUpdateStatus;

class Tfrmcacheupdate final : public QWidget {
  Q_OBJECT

 public:
  explicit Tfrmcacheupdate(QWidget* parent = nullptr);

  // Places the window at the bottom-right corner of its monitor's work area and shows it.
  void start();
  // One status of the download (texts of the core, shown in the UI's language).
  void ShowStatus(const TCacheUpdateStatus& status);
  // The cache is loaded: the window goes away.
  void Ready();

  QString StatusText() const { return lblAction->text(); }
  const QProgressBar& MainBar() const { return *ProgressBarMain; }
  const QProgressBar& FileBar() const { return *ProgressBarFile; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* Label1;
  QLabel* lblAction;
  QLabel* img_info;
  QProgressBar* ProgressBarMain;
  QProgressBar* ProgressBarFile;
};

// A bar's range and value from 64-bit figures: scaled into int, and a maximum of 0 or below
// (one file in the list, an unknown size) shown as an empty bar rather than Qt's busy bar.
void SetBar(QProgressBar& bar, std::int64_t max, std::int64_t pos);
