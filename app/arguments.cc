#include "app/arguments.h"

#include <string.h>

#include "app/messages.h"
#include "platform/codepage.h"
#include "platform/messagebox.h"

ServerRole Role = Agent;
char ProfileName[256];

static const char UsageFormat[] =
    "Usage:\n\n"
    "To create/edit Quorvane Enterprise Server Agent MAPI profile:\n"
    "\t%s -s [-p <Profile Name>]\n\n"
    "To create/edit Quorvane Manager MAPI profile:\n"
    "\t%s -m [-p <Profile Name>]\n\n"
    "To create/edit Legacy Quorvane Enterprise Server Management MMC Snap-in MAPI profile:\n"
    "\t%s -l [-p <Profile Name>]\n\n"
    "To create/edit Quorvane Server Database Consistency Service MAPI profile:\n"
    "\t%s -c [-p <Profile Name>]\n\n"
    "To display this help:\n"
    "\t%s -h";

// The default locale's whitespace: the blank and the control bytes from tab to carriage
// return. Bytes of 0x80 and above never are, whatever the code page.
static bool IsNameSpace(unsigned char c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

static unsigned char LowerAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? (unsigned char)(c - 'A' + 'a') : c;
}

void ShowUsage(const char* programPath) {
  wsprintfA(MessageText, UsageFormat, programPath, programPath, programPath, programPath,
            programPath);
  ReportMessage(MessageText);
}

void NormaliseName(char* name) {
  size_t length = strlen(name);
  while (length > 0 && IsNameSpace((unsigned char)name[length - 1])) name[--length] = '\0';
  for (char* p = name; *p && IsNameSpace((unsigned char)*p); p++) *p = '_';
}

// Copies the argument after -p into ProfileName, cut to 255 bytes, and normalises it. Returns
// false after the length message when the result is over the command line's limit.
static bool TakeProfileName(const char* argument) {
  strncpy(ProfileName, argument, sizeof ProfileName - 1);
  ProfileName[sizeof ProfileName - 1] = '\0';
  NormaliseName(ProfileName);
  if (strlen(ProfileName) > MAX_COMMAND_LINE_NAME) {
    wsprintfA(MessageText, "Profile name is limited to 50 characters in length.");
    ReportMessage(MessageText);
    return false;
  }
  return true;
}

bool ParseArguments(int argc, char** argv) {
  if (argc <= 1) {
    ShowUsage(argv[0]);
    return false;
  }
  for (int i = 1; i < argc; i++) {
    const char* argument = argv[i];
    if (argument[0] != '-' && argument[0] != '/') {
      ShowUsage(argv[0]);
      return false;
    }
    switch (LowerAscii((unsigned char)argument[1])) {
      case 's':
        Role = Agent;
        break;
      case 'm':
        Role = Manager;
        break;
      case 'l':
        Role = LegacyManagement;
        break;
      case 'c':
        Role = DbConsistency;
        break;
      case 'p':
        if (i + 1 >= argc) {
          ShowUsage(argv[0]);
          return false;
        }
        // A name that reached the system with characters lost or changed by the code page
        // would create or edit another profile than the one asked for.
        i++;
        if (!ArgumentFitsCodePage(i, argv[i])) {
          wsprintfA(MessageText,
                    "Profile name contains characters that the system code page cannot represent.");
          ReportMessage(MessageText);
          return false;
        }
        if (!TakeProfileName(argv[i])) return false;
        break;
      default:
        ShowUsage(argv[0]);
        return false;
    }
  }
  return true;
}
