// A message box that records instead of showing: the system tests read what the administrator
// would have seen, in order.
#pragma once

#include <string>
#include <vector>

struct ShownBox {
  std::string caption;
  std::string text;
  unsigned type;
};

// Every box shown since the last ClearShownBoxes, in order.
extern std::vector<ShownBox> ShownBoxes;

void ClearShownBoxes(void);

// The texts alone, for comparing with a list.
std::vector<std::string> ShownTexts(void);
