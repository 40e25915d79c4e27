// A message box that records instead of showing: the system tests read what the administrator
// would have seen, in order.
#pragma once

#include <string>
#include <vector>

// The texts of the boxes shown since the last ClearShownBoxes, in order.
std::vector<std::string> ShownTexts(void);
void ClearShownBoxes(void);
