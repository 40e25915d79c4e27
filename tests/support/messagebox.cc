#include "support/messagebox.h"

#include "platform/messagebox.h"

static std::vector<std::string> Shown;

std::vector<std::string> ShownTexts(void) {
  return Shown;
}

void ClearShownBoxes(void) {
  Shown.clear();
}

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR, UINT) {
  Shown.push_back(lpText ? lpText : "");
  return IDOK;
}
