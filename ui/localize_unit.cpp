#include "localize_unit.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTranslator>
#include <atomic>
#include <memory>
#include <vector>

namespace {

// Texts of the core that reach the UI. Whole-line texts are looked up directly; entries with
// %1, %2 are patterns whose values come from the text itself.
const char* const kCoreTexts[] = {
    // download window status
    QT_TRANSLATE_NOOP("CoreTexts", "Abfrage der Cache Informationen"),
    QT_TRANSLATE_NOOP("CoreTexts", "Bereinige lokalen Cache"),
    QT_TRANSLATE_NOOP("CoreTexts", "Download der Titelerkennungsdatenbank %1 / %2"),
    QT_TRANSLATE_NOOP("CoreTexts",
                      "Bereite lokalen Cache vor, dieser Vorgang kann etwas dauern..."),
    QT_TRANSLATE_NOOP("CoreTexts", "Lokaler Cache vorbereitet"),
    QT_TRANSLATE_NOOP("CoreTexts", "Abgebrochen %1"),
    QT_TRANSLATE_NOOP("CoreTexts",
                      "Der Service ist nicht erreichbar, möglicherweise sind Sie offline! %1"),
    QT_TRANSLATE_NOOP("CoreTexts", "Der Service ist derzeit nicht verfügbar! %1"),
    QT_TRANSLATE_NOOP(
        "CoreTexts",
        "Bitte aktualisieren Sie Ihren Client, Sie benötigen mindestens Client Version %1."),
    QT_TRANSLATE_NOOP("CoreTexts",
                      "Es ist ein Problem beim Laden der Cache Informationen aufgetreten, ggf. "
                      "müssen Sie Ihren Client aktualisieren"),
    QT_TRANSLATE_NOOP("CoreTexts",
                      "Ungültiger Name einer Cache-Datei in der Liste des Service: \"%1\""),
    QT_TRANSLATE_NOOP("CoreTexts", "Datei kann nicht geschrieben werden: %1"),
    QT_TRANSLATE_NOOP("CoreTexts", "Der lokale Cache konnte nicht geladen werden"),
    QT_TRANSLATE_NOOP("CoreTexts", "Unbekannter fehler"),
    // start-up
    QT_TRANSLATE_NOOP("CoreTexts", "Anwendung \"%1\" läuft bereits!"),
    QT_TRANSLATE_NOOP("CoreTexts", "Fehler beim Ausführen der Prozessorzuordnung"),
    QT_TRANSLATE_NOOP("CoreTexts",
                      "Interner Fehler: Es konnte kein Datenpfad gefunden/erzeugt werden!"),
    QT_TRANSLATE_NOOP("CoreTexts",
                      "Sollte dieses Problem permanent auftreten, wenden Sie sich bitte an den "
                      "technischen Support!"),
    QT_TRANSLATE_NOOP("CoreTexts", "Fehler: Verzeichnisstuktur konnte nicht angelegt werden!"),
    // configuration file
    QT_TRANSLATE_NOOP("CoreTexts", "Konfigurationsdatei kann nicht gelesen werden: %1"),
    QT_TRANSLATE_NOOP("CoreTexts", "Konfiguration kann nicht geschrieben werden"),
    QT_TRANSLATE_NOOP("CoreTexts", "Konfigurationsdatei kann nicht geschrieben werden: %1"),
    QT_TRANSLATE_NOOP("CoreTexts",
                      "Achtung: Ihre aktuelle Konfiguration sowie gespeicherte Zustände werden "
                      "gelöscht!"),
    QT_TRANSLATE_NOOP(
        "CoreTexts",
        "Das Programm hat beim nächstn Start wieder seine urprüngliche Programmkonfiguration."),
    QT_TRANSLATE_NOOP("CoreTexts",
                      "Fehler beim Löschen der Konfigurationsdatei. Bitte Anwendung schließen "
                      "und Datei manuell löschen"),
    QT_TRANSLATE_NOOP("CoreTexts",
                      "Konfiguration wurde entfernt, Startkonfiguration wird wiederhergestellt !"),
    QT_TRANSLATE_NOOP("CoreTexts", "Bitte Anwendung neu starten !"),
    // debug trace
    QT_TRANSLATE_NOOP("CoreTexts", "Debug_Init konnte nicht gestartet werden!"),
    QT_TRANSLATE_NOOP("CoreTexts", "Debug_Init Fehler!"),
    QT_TRANSLATE_NOOP("CoreTexts", "Debug_Done Fehler!"),
    QT_TRANSLATE_NOOP("CoreTexts", "Debug_Done Fehler beim Löschen der Debugdatei!"),
};

struct TPattern {
  const char* source;
  QRegularExpression match;
};

// The catalogue's entries with values, as anchored expressions (built once).
const std::vector<TPattern>& Patterns() {
  static const std::vector<TPattern> patterns = [] {
    std::vector<TPattern> out;
    static const QRegularExpression placeholder(QStringLiteral("%[1-9]"));
    for (const char* source : kCoreTexts) {
      const QString text = QString::fromUtf8(source);
      if (!text.contains(placeholder)) continue;
      QString expr = QStringLiteral("^");
      qsizetype pos = 0;
      for (auto it = placeholder.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        expr += QRegularExpression::escape(text.mid(pos, m.capturedStart() - pos));
        expr += QStringLiteral("(.*)");
        pos = m.capturedEnd();
      }
      expr += QRegularExpression::escape(text.mid(pos)) + QStringLiteral("$");
      out.push_back(
          {source, QRegularExpression(expr, QRegularExpression::DotMatchesEverythingOption)});
    }
    return out;
  }();
  return patterns;
}

std::atomic<bool> g_english{false};
std::unique_ptr<QTranslator> g_translator;     // GUI thread only
std::unique_ptr<QTranslator> g_qt_translator;  // GUI thread only

QString TranslateLine(const QString& line, int depth) {
  if (line.isEmpty() || depth > 3) return line;
  const QByteArray utf8 = line.toUtf8();
  const QString whole = QCoreApplication::translate("CoreTexts", utf8.constData());
  if (whole != line) return whole;
  for (const TPattern& p : Patterns()) {
    const QRegularExpressionMatch m = p.match.match(line);
    if (!m.hasMatch()) continue;
    QString out = QCoreApplication::translate("CoreTexts", p.source);
    // Values are filled in from the highest number down, so "%1" never eats part of "%10".
    for (int i = m.lastCapturedIndex(); i >= 1; --i)
      out.replace(QStringLiteral("%") + QString::number(i),
                  TranslateLine(m.captured(i), depth + 1));
    return out;
  }
  return line;
}

}  // namespace

bool LoadLanguage(const std::string& code) {
  const QString wanted = QString::fromStdString(code).trimmed().toUpper();
  const bool english = wanted == QStringLiteral("EN");
  if (g_translator) QCoreApplication::removeTranslator(g_translator.get());
  if (g_qt_translator) QCoreApplication::removeTranslator(g_qt_translator.get());
  g_translator.reset();
  g_qt_translator.reset();
  g_english = false;

  // Qt's standard dialogs speak English without a translation; German needs Qt's own file.
  if (!english) {
    auto qt = std::make_unique<QTranslator>();
    if (qt->load(QLocale(QLocale::German), QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(qt.get()))
      g_qt_translator = std::move(qt);
    return false;
  }
  auto own = std::make_unique<QTranslator>();
  if (!own->load(QStringLiteral(":/i18n/melodyseeker_en.qm")) ||
      !QCoreApplication::installTranslator(own.get()))
    return false;
  g_translator = std::move(own);
  g_english = true;
  return true;
}

bool EnglishActive() { return g_english.load(); }

QString TranslateCoreText(std::string_view text) {
  const QString all = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  if (!g_english.load()) return all;
  // Line by line, keeping the break characters as they are.
  QString out;
  QString line;
  for (const QChar c : all) {
    if (c == u'\n' || c == u'\r') {
      out += TranslateLine(line, 0);
      out += c;
      line.clear();
    } else {
      line += c;
    }
  }
  out += TranslateLine(line, 0);
  return out;
}
