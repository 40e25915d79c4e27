// The one way the system talks to the administrator: a modal message box with a fixed caption.
#pragma once

// The shared message text: every formatted message is written here from the start.
extern char MessageText[2048];

// The caption of every message box.
extern const char MessageCaption[];

// Shows text in a message box with MessageCaption and a single OK button, and returns when the
// box is dismissed.
void ReportMessage(const char* text);
