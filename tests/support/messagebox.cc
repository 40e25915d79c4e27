#include "support/messagebox.h"

#include "platform/messagebox.h"

std::vector<std::string> ShownTexts;

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR, UINT) {
  ShownTexts.push_back(lpText ? lpText : "");
  return IDOK;
}
