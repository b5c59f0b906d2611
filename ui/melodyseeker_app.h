#pragma once
// The application object of the tray UI. Its one addition to QApplication is the handler of
// unhandled errors (AppException): an exception that leaves an event handler or slot in the GUI
// thread is caught in notify, written to the debug trace, shown to the user with the offer to
// send a report, and the program keeps running.
//
// GUI thread only.

#include <QApplication>
#include <QPointer>
#include <QString>
#include <QWidget>

class TMelodySeekerApp final : public QApplication {
  Q_OBJECT

 public:
  TMelodySeekerApp(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;

  // The never-shown main window, whose active control the report names.
  void SetMainForm(QWidget* mainform) { FMainForm = mainform; }
  void SetVersionText(const QString& versiontext) { FVersion = versiontext; }

  // The handler itself: trace line, question, hint, and on Yes the report mail.
  void AppException(const QString& message);

  // The report text handed to the mail on Yes.
  QString ExceptionReport(const QString& message) const;

 private:
  QPointer<QWidget> FMainForm;
  QString FVersion;
};
