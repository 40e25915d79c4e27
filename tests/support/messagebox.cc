// A message box that records instead of showing: the system tests read what the administrator
// would have seen, in order (extern in each), and clear it between runs.
#include <string>
#include <vector>

#include "platform/messagebox.h"

std::vector<std::string> ShownTexts;

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR, UINT) {
  ShownTexts.push_back(lpText ? lpText : "");
  return IDOK;
}
