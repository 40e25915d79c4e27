#include "app/messages.h"

#include "platform/messagebox.h"

char MessageText[2048];
const char MessageCaption[] = "Quorvane Server Profile";

void ReportMessage(const char* text) {
  // What the box returns is of no interest: it has a single button.
  MessageBoxA(nullptr, text, MessageCaption, MB_OK);
}
