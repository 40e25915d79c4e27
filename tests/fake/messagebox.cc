#include "fake/messagebox.h"

#include "platform/messagebox.h"

std::vector<ShownBox> ShownBoxes;

void ClearShownBoxes(void) {
  ShownBoxes.clear();
}

std::vector<std::string> ShownTexts(void) {
  std::vector<std::string> texts;
  for (const ShownBox& box : ShownBoxes) texts.push_back(box.text);
  return texts;
}

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  ShownBoxes.push_back({lpCaption ? lpCaption : "", lpText ? lpText : "", uType});
  return IDOK;
}
