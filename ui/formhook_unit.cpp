#include "formhook_unit.h"

#include <QScreen>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {

bool g_form_scaleable = false;
std::vector<TFormHook*> g_forms;  // every living TFormHook, for SetFormScaleable

}  // namespace

TFormHook::TFormHook(QWidget* parent, Qt::WindowFlags flags) : QDialog(parent, flags) {
  g_forms.push_back(this);
  if (g_form_scaleable) ScaleForCurrentDPI();
}

TFormHook::~TFormHook() {
  g_forms.erase(std::remove(g_forms.begin(), g_forms.end(), this), g_forms.end());
}

int TFormHook::FormPixelsPerInch() const {
  if (!FScaled) return kDesignPixelsPerInch;
  const QScreen* s = screen();
  return s != nullptr ? static_cast<int>(std::lround(s->logicalDotsPerInch()))
                      : kDesignPixelsPerInch;
}

void TFormHook::ScaleForCurrentDPI() { FScaled = true; }

void TFormHook::SetFormScaleable(bool value) {
  g_form_scaleable = value;
  for (TFormHook* form : g_forms) {
    if (value)
      form->ScaleForCurrentDPI();
    else
      form->FScaled = false;
  }
}

bool TFormHook::GetFormScaleable() { return g_form_scaleable; }
