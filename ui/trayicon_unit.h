#pragma once
// The tray icon: a thin view. It is handed the tray menu and shows it as its context menu; a
// double-click becomes the doubleClicked signal. What the items do is the main window's
// business (mainform_unit), wired by the program's composition root.
//
// GUI thread only.

#include <QIcon>
#include <QSystemTrayIcon>

class QMenu;

class TTrayIcon final : public QSystemTrayIcon {
  Q_OBJECT

 public:
  TTrayIcon(QMenu* menu, QObject* parent = nullptr);

 signals:
  void doubleClicked();
};

// The program's icon (drawn, so it needs no image file): a note on a round blue badge.
QIcon MelodySeekerIcon();
