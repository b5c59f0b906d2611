#include "formutil_unit.h"

#include <QGuiApplication>
#include <QScreen>
#include <cctype>
#include <cstdlib>
#include <string_view>

#include "formhook_unit.h"
#include "service/melodyseeker_glob_unit.h"

namespace {

std::string SectionOf(const QWidget& form) { return "FORM_" + form.objectName().toStdString(); }

// The value of `key` (names compared without regard to case, as in the rest of the file).
int ReadInt(const TConfigSection& values, std::string_view key, int def) {
  for (const auto& [name, value] : values) {
    if (name.size() != key.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < key.size() && same; ++i)
      same = std::tolower(static_cast<unsigned char>(name[i])) ==
             std::tolower(static_cast<unsigned char>(key[i]));
    if (!same) continue;
    char* end = nullptr;
    const long v = std::strtol(value.c_str(), &end, 10);
    return (end != value.c_str()) ? static_cast<int>(v) : def;
  }
  return def;
}

QScreen* ScreenAt(int index) {
  const QList<QScreen*> screens = QGuiApplication::screens();
  if (index < 0 || index >= screens.size()) return QGuiApplication::primaryScreen();
  return screens[index];
}

int PrimaryIndex() {
  const int i =
      static_cast<int>(QGuiApplication::screens().indexOf(QGuiApplication::primaryScreen()));
  return i < 0 ? 0 : i;
}

bool ScaledMark(const QWidget& form) {
  const auto* hook = qobject_cast<const TFormHook*>(&form);
  return hook != nullptr && hook->Scaled();
}

}  // namespace

int MonitorIndexOf(const QWidget& form) {
  const int i = static_cast<int>(QGuiApplication::screens().indexOf(form.screen()));
  return i < 0 ? PrimaryIndex() : i;
}

void LoadFormPosition(const std::string& filename, QWidget& form, int defaultwidth,
                      int defaultheight, bool fixedsize) {
  const TConfigSection values = ReadConfigSection(filename, SectionOf(form));
  const int monitor = ReadInt(values, "MONITOR", PrimaryIndex());
  if (ReadInt(values, "WINDOWSTATE", 0) == 2) {
    // Onto the stored monitor first: a maximised window fills the monitor it is on.
    if (const QScreen* screen = ScreenAt(monitor)) form.move(screen->availableGeometry().topLeft());
    form.setWindowState(Qt::WindowMaximized);
  } else {
    // A stored minimised state is not restored: the window comes back normal at its place.
    form.setWindowState(Qt::WindowNoState);
    int width = defaultwidth, height = defaultheight;
    if (!fixedsize) {
      if (ScaledMark(form)) {
        const QScreen* screen = ScreenAt(monitor);
        const double monitorppi =
            screen != nullptr ? screen->logicalDotsPerInch() : kDesignPixelsPerInch;
        const double formppi = kDesignPixelsPerInch;
        width =
            ReadInt(values, "WIDTH_SCALED", static_cast<int>(defaultwidth * monitorppi / formppi));
        height = ReadInt(values, "HEIGHT_SCALED",
                         static_cast<int>(defaultheight * monitorppi / formppi));
      } else {
        width = ReadInt(values, "WIDTH", defaultwidth);
        height = ReadInt(values, "HEIGHT", defaultheight);
      }
    }
    form.resize(width, height);
    form.move(ReadInt(values, "LEFT", 100), ReadInt(values, "TOP", 100));
  }
  FitFormToMonitor(form, monitor);
}

bool SaveFormPosition(const std::string& filename, QWidget& form, std::string& error) {
  const Qt::WindowStates state = form.windowState();
  const int windowstate = (state & Qt::WindowMinimized) ? 1 : (state & Qt::WindowMaximized) ? 2 : 0;
  const bool scaled = ScaledMark(form);
  const auto* hook = qobject_cast<const TFormHook*>(&form);
  const int ppi = hook != nullptr ? hook->FormPixelsPerInch() : kDesignPixelsPerInch;
  const QPoint pos = form.pos();
  TConfigSection values = {
      {"WINDOWSTATE", std::to_string(windowstate)},
      {"MONITOR", std::to_string(MonitorIndexOf(form))},
      {"TOP", std::to_string(pos.y())},
      {"LEFT", std::to_string(pos.x())},
  };
  values.emplace_back(scaled ? "HEIGHT_SCALED" : "HEIGHT", std::to_string(form.height()));
  values.emplace_back(scaled ? "WIDTH_SCALED" : "WIDTH", std::to_string(form.width()));
  values.emplace_back("DPI", std::to_string(ppi));
  values.emplace_back("SCALED", scaled ? "1" : "0");
  return WriteConfigSection(filename, SectionOf(form), values, error);
}

void FitFormToMonitor(QWidget& form, int monitorindex) {
  const QScreen* screen = ScreenAt(monitorindex);
  // A maximised window already fills the work area; moving it would undo the maximising.
  if (screen == nullptr || (form.windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)))
    return;
  const QRect area = screen->availableGeometry();
  const QRect frame = form.frameGeometry();
  int left = frame.left(), top = frame.top();
  if (left < area.left()) left = area.left();
  if (top < area.top()) top = area.top();
  if (left + frame.width() > area.left() + area.width())
    left = area.left() + area.width() - frame.width();
  if (top + frame.height() > area.top() + area.height())
    top = area.top() + area.height() - frame.height();
  form.move(left, top);
}
