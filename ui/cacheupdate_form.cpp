#include "cacheupdate_form.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <algorithm>

#include "localize_unit.h"
#include "platform/ui_prompt.h"
#include "web/cacheupdate_unit.h"

void SetBar(QProgressBar& bar, std::int64_t max, std::int64_t pos) {
  if (max <= 0) {
    bar.setRange(0, 1);
    bar.setValue(0);
    return;
  }
  // Scaled down until the maximum fits an int; a file of several GB keeps its proportions.
  int shift = 0;
  while ((max >> shift) > 1'000'000'000) ++shift;
  pos = std::clamp<std::int64_t>(pos, 0, max);
  bar.setRange(0, static_cast<int>(max >> shift));
  bar.setValue(static_cast<int>(pos >> shift));
}

Tfrmcacheupdate::Tfrmcacheupdate(QWidget* parent)
    : QWidget(parent, Qt::Tool),
      Label1(new QLabel(this)),
      lblAction(new QLabel(this)),
      img_info(new QLabel(this)),
      ProgressBarMain(new QProgressBar(this)),
      ProgressBarFile(new QProgressBar(this)) {
  setObjectName(QStringLiteral("frmcacheupdate"));
  setWindowTitle(QStringLiteral("MelodySeeker"));
  setFixedSize(571, 67);

  QFont bold = font();
  bold.setBold(true);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setFont(bold);
  Label1->setText(tr("Status:"));
  Label1->adjustSize();
  Label1->move(8, 6);
  lblAction->setObjectName(QStringLiteral("lblAction"));
  lblAction->setFont(bold);
  lblAction->setText(QStringLiteral("- -"));
  lblAction->setToolTip(lblAction->text());
  lblAction->setToolTipDuration(10000);
  lblAction->setGeometry(Label1->x() + Label1->width() + 6, 6, 524 - Label1->width() - 6, 16);

  img_info->setObjectName(QStringLiteral("img_info"));
  img_info->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(20, 20));
  img_info->setAlignment(Qt::AlignCenter);
  img_info->setGeometry(571 - 8 - 25, 2, 25, 25);
  img_info->setCursor(Qt::PointingHandCursor);
  img_info->installEventFilter(this);

  ProgressBarMain->setObjectName(QStringLiteral("ProgressBarMain"));
  ProgressBarMain->setGeometry(8, 28, 554, 17);
  ProgressBarMain->setTextVisible(false);
  ProgressBarFile->setObjectName(QStringLiteral("ProgressBarFile"));
  ProgressBarFile->setGeometry(8, 51, 554, 7);
  ProgressBarFile->setTextVisible(false);
  SetBar(*ProgressBarMain, 100, 0);
  SetBar(*ProgressBarFile, 100, 0);
}

void Tfrmcacheupdate::start() {
  QScreen* s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  show();
  if (s != nullptr) {
    // The frame is known only once the window is shown; the window is placed by its frame.
    const QRect area = s->availableGeometry();
    const QRect frame = frameGeometry();
    move(area.right() - frame.width() + 1, area.bottom() - frame.height() + 1);
  }
}

void Tfrmcacheupdate::ShowStatus(const TCacheUpdateStatus& status) {
  const QString text = TranslateCoreText(status.Text);
  lblAction->setText(text);
  lblAction->setToolTip(text);
  SetBar(*ProgressBarMain, status.MainMax, status.MainPos);
  SetBar(*ProgressBarFile, status.FileMax, status.FilePos);
}

void Tfrmcacheupdate::Ready() { hide(); }

void Tfrmcacheupdate::closeEvent(QCloseEvent* event) {
  event->ignore();
  hide();
}

bool Tfrmcacheupdate::eventFilter(QObject* watched, QEvent* event) {
  if (watched == img_info && event->type() == QEvent::MouseButtonRelease) {
    ShowMessage(TPromptKind::Information,
                tr("MelodySeeker läd den für die Titeleridentifikation benötigten Teil der "
                   "Datenbank herunter.")
                        .toStdString() +
                    "\r\r" +
                    tr("Dies ermöglicht es, die Titelerkennung auf Ihrem lokalen PC auszuführen. "
                       "Lediglich Metadaten und akustische Fingerabdrücke werden im nächsten "
                       "Schritt anonym mit der zentralen Datenbank ausgetauscht.")
                        .toStdString() +
                    "\r\r" +
                    tr("Bei der ersten Verwendung muss ein voller Download durchgeführt werden, "
                       "dieser kann etwas dauern. Bei jeder weiteren Verwendung werden nur noch "
                       "neue Daten heruntergeladen")
                        .toStdString());
    return true;
  }
  return QWidget::eventFilter(watched, event);
}
