#pragma once
// The base of the program's own windows (main window, about box, decoder dialog, memory
// window; the download window is a plain widget). It carries one application-wide setting,
// FormScaleable: whether windows follow the pixel density of their monitor. Qt 6 already lays
// every window out in device-independent pixels per monitor, so the setting only marks each
// window scaled or unscaled; the mark decides which size keys its stored position uses
// (formutil_unit).
//
// GUI thread only.

#include <QDialog>

class TFormHook : public QDialog {
  Q_OBJECT

 public:
  explicit TFormHook(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
  ~TFormHook() override;

  bool Scaled() const { return FScaled; }
  // The density the window is laid out for: its monitor's when scaled, else the 96 dpi the
  // windows are designed at.
  int FormPixelsPerInch() const;

  // Qt scales on its own; this only records that the window follows its monitor now.
  void ScaleForCurrentDPI();

  // Marks every existing TFormHook (and every later one) scaled or unscaled.
  static void SetFormScaleable(bool value);
  static bool GetFormScaleable();

 private:
  bool FScaled = false;
};

// The density our window layouts are designed at.
inline constexpr int kDesignPixelsPerInch = 96;
