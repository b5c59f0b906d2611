#pragma once
// Stored window positions: a window's state, monitor, place and size in section
// "FORM_" + its object name of the configuration file, and the rule that keeps a window inside
// a monitor's work area. Only the main window's position is stored by the program.
//
// Keys: WINDOWSTATE (0 normal, 1 minimised, 2 maximised; only 2 is restored), MONITOR (index into
// QGuiApplication::screens()), TOP, LEFT, HEIGHT_SCALED/WIDTH_SCALED or HEIGHT/WIDTH by the
// window's scaled mark (TFormHook), DPI and SCALED (written, never read).
//
// GUI thread only. The file is read and written through the core's configuration functions, so
// every other section stays as it is.

#include <QWidget>
#include <string>

// Monitor index of `form` (its screen's place in QGuiApplication::screens()).
int MonitorIndexOf(const QWidget& form);

void LoadFormPosition(const std::string& filename, QWidget& form, int defaultwidth,
                      int defaultheight, bool fixedsize);
// False with `error` when the file cannot be written.
bool SaveFormPosition(const std::string& filename, QWidget& form, std::string& error);

// Moves `form` into the work area of monitor `monitorindex` (the primary one when the index is
// negative or too large): left, top, right, bottom edge, in this order, so a window larger than
// the area ends up aligned with its right and bottom edges. A maximised window stays as it is.
void FitFormToMonitor(QWidget& form, int monitorindex);
