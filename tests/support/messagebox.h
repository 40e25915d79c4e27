// A message box that records instead of showing: the system tests read what the administrator
// would have seen, in order, and clear it between runs.
#pragma once

#include <string>
#include <vector>

extern std::vector<std::string> ShownTexts;
