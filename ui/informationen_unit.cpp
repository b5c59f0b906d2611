#include "informationen_unit.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QUrl>
#include <QVBoxLayout>

#include "feedback_register_unit.h"
#include "platform/ui_prompt.h"
#include "service/melodyseeker_glob_unit.h"
#include "trayicon_unit.h"

namespace {

// A clickable label: blue, underlined, hand cursor; `open` runs on a click.
QLabel* LinkLabel(const QString& text, const QString& hint, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::RichText);
  label->setText(
      QStringLiteral("<a href=\"#\" style=\"color:#0000ff\">%1</a>").arg(text.toHtmlEscaped()));
  label->setToolTip(hint);
  label->setToolTipDuration(10000);
  label->setCursor(Qt::PointingHandCursor);
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  return label;
}

}  // namespace

bool OpenPage(const QString& url) {
  if (QDesktopServices::openUrl(QUrl(url))) return true;
  ShowMessage(TPromptKind::Warning,
              QCoreApplication::translate("Tinfoform", "Die Seite %1 konnte nicht geöffnet werden.")
                  .arg(url)
                  .toStdString());
  return false;
}

QString UpdateCheckUrl(const QString& versiontext) {
  const qsizetype blank = versiontext.indexOf(u' ');
  return QString::fromLatin1(kMakerSite) + QStringLiteral("MelodySeeker/version.html?") +
         (blank < 0 ? versiontext : versiontext.left(blank));
}

Tinfoform::Tinfoform(QWidget* parent)
    : TFormHook(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      lblVersion(new QLabel(this)),
      lblDatum(new QLabel(this)),
      btnHilfe(new QPushButton(tr("&Hilfe"), this)) {
  setObjectName(QStringLiteral("infoform"));
  setWindowTitle(tr("Produktinformationen"));
  setModal(true);

  auto* picture = new QLabel(this);
  picture->setPixmap(MelodySeekerIcon().pixmap(64, 64));
  QFont big = font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.4);
  lblVersion->setObjectName(QStringLiteral("lblVersion"));
  lblVersion->setFont(big);
  lblDatum->setObjectName(QStringLiteral("lblDatum"));

  auto* head = new QGridLayout;
  head->addWidget(picture, 0, 0, 2, 1, Qt::AlignTop);
  head->addWidget(lblVersion, 0, 1);
  head->addWidget(lblDatum, 1, 1, Qt::AlignTop);
  head->setColumnStretch(1, 1);

  auto* mail = LinkLabel(QString::fromLatin1(kSupportAddress),
                         tr("Wollen Sie mir etwas mitteilen? Nur zu, klicken Sie !"), this);
  mail->setObjectName(QStringLiteral("lblEmail"));
  connect(mail, &QLabel::linkActivated, this, [this] { Feedback(); });
  auto* web = LinkLabel(QString::fromLatin1(kMakerSite),
                        tr("Ein Klick bringt Sie direkt zu meiner Seite im WWW !"), this);
  web->setObjectName(QStringLiteral("lblWeb"));
  connect(web, &QLabel::linkActivated, this, [] { OpenPage(QString::fromLatin1(kMakerSite)); });
  auto* donate = LinkLabel(QString::fromLatin1(kDonationPage), QString(), this);
  donate->setObjectName(QStringLiteral("lblSpenden"));
  connect(donate, &QLabel::linkActivated, this,
          [] { OpenPage(QString::fromLatin1(kDonationPage)); });

  auto* text = new QVBoxLayout;
  const auto plain = [this](const QString& s) {
    auto* l = new QLabel(s, this);
    l->setWordWrap(true);
    return l;
  };
  text->addWidget(plain(tr("Sollten Sie Probleme oder Vorschläge haben, melden Sie sich einfach")));
  text->addWidget(mail);
  text->addSpacing(8);
  text->addWidget(
      plain(tr("Online-Dokumentation, Support-Forum und sowie aktuelle Informationen "
               "und Updates finden Sie auf")));
  text->addWidget(web);
  text->addSpacing(8);
  text->addWidget(
      plain(tr("Spenden Sie ein paar Euro für den Erhalt nicht-kommerzieller Software:")));
  text->addWidget(donate);
  text->addSpacing(8);
  text->addWidget(plain(tr("Vielen Dank an jeden der sich für die Weiterentwicklung einsetzt")));
  text->addWidget(plain(tr("bzw. in der Vergangenheit das Projekt unterstützt hat.")));

  auto* feedback = new QPushButton(tr("Feedback"), this);
  feedback->setObjectName(QStringLiteral("btnFeedback"));
  connect(feedback, &QPushButton::clicked, this, [this] { Feedback(); });
  auto* privacy = new QPushButton(tr("Datenschutzerklärung"), this);
  privacy->setObjectName(QStringLiteral("btnDatenschutz"));
  connect(privacy, &QPushButton::clicked, this,
          [] { OpenPage(QString::fromLatin1(kMakerSite) + QStringLiteral("legal_de/")); });
  auto* update = new QPushButton(tr("auf Update prüfen"), this);
  update->setObjectName(QStringLiteral("btnUpdate"));
  connect(update, &QPushButton::clicked, this, [this] { OpenPage(UpdateCheckUrl(FVersion)); });
  btnHilfe->setObjectName(QStringLiteral("btnHilfe"));
  connect(btnHilfe, &QPushButton::clicked, this, &Tinfoform::helpRequested);
  auto* close = new QPushButton(tr("&Schließen"), this);
  close->setObjectName(QStringLiteral("btnSchliessen"));
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);  // Esc rejects: closes too

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(feedback);
  buttons->addWidget(privacy);
  buttons->addWidget(update);
  buttons->addStretch(1);
  buttons->addWidget(btnHilfe);
  buttons->addWidget(close);

  auto* all = new QVBoxLayout(this);
  all->addLayout(head);
  all->addSpacing(6);
  all->addLayout(text);
  all->addSpacing(10);
  all->addLayout(buttons);
  setMinimumWidth(520);
}

void Tinfoform::Fill(const QString& versiontext, const QString& builddate,
                     const TFeedbackIdentity& who) {
  FVersion = versiontext;
  FWho = who;
  lblVersion->setText(QString::fromLatin1(kProductName) + QStringLiteral(" Version ") +
                      versiontext);
  lblDatum->setText(QStringLiteral("(") + builddate + QStringLiteral(")"));
}

void Tinfoform::anzeigen(const QString& versiontext, const QString& builddate,
                         const TFeedbackIdentity& who) {
  Fill(versiontext, builddate, who);
  exec();
}

void Tinfoform::Feedback() {
  SendFeedbackMail(QString::fromLatin1(kProductName), FVersion, FWho.userid, FWho.usecount,
                   FWho.days, QStringLiteral("Feedback"), QString());
}
