#pragma once
// The about box "Produktinformationen": name, version and build date, the support address and
// web links, and buttons for feedback, the privacy statement, the update check, the manual
// and closing. Every page and the mail open through the desktop's default handler.
//
// Modal (anzeigen). GUI thread only.

#include <QLabel>
#include <QPushButton>
#include <QString>

#include "formhook_unit.h"

// The maker's addresses (ours to choose).
inline constexpr char kMakerSite[] = "https://melodyseeker.invalid/";
inline constexpr char kDonationPage[] = "https://melodyseeker.invalid/spenden.html";

// Opens `url` with the desktop; a failure shows a warning naming the address. False then.
bool OpenPage(const QString& url);

// The update check's address: the maker's site, "MelodySeeker/version.html?" and the version
// text up to its first blank ("1.00 64Bit" asks for "1.00").
QString UpdateCheckUrl(const QString& versiontext);

struct TFeedbackIdentity {
  QString userid;
  int usecount = 0;
  int days = 0;
};

class Tinfoform final : public TFormHook {
  Q_OBJECT

 public:
  explicit Tinfoform(QWidget* parent = nullptr);

  // Fills in version and build date and shows the box modally.
  void anzeigen(const QString& versiontext, const QString& builddate, const TFeedbackIdentity& who);
  // The same without showing, so the box can be looked at before it is opened.
  void Fill(const QString& versiontext, const QString& builddate, const TFeedbackIdentity& who);

  QPushButton* HelpButton() const { return btnHilfe; }

 signals:
  // The help button: the main window opens the manual.
  void helpRequested();

 private:
  void Feedback();

  QLabel* lblVersion;
  QLabel* lblDatum;
  QPushButton* btnHilfe;
  QString FVersion;
  TFeedbackIdentity FWho;
};
