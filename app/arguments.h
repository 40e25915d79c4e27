// The command line: which server role a run is for and which profile name was asked for, the
// usage text, and the one rule every profile name is normalised by.
#pragma once

#include <stdint.h>

// The server role a run is for; its value indexes the role table of the stored names.
typedef int32_t ServerRole;
enum : ServerRole {
  Agent = 0,             // -s
  Manager = 1,           // -m
  LegacyManagement = 2,  // -l
  DbConsistency = 3,     // -c
};

// The role this run is for; Agent until a switch says otherwise.
extern ServerRole Role;

// The working profile name: 8-bit, NUL-terminated, at most 255 bytes; empty at start.
extern char ProfileName[256];

// The longest profile name the command line accepts, counted after normalisation.
#define MAX_COMMAND_LINE_NAME 50

// Reads the switches. Returns true when the run may go on, false when it must end because the
// usage text, the length message or the code page message has been shown.
bool ParseArguments(int argc, char** argv);

// Shows the usage text with the program path in all five places.
void ShowUsage(const char* programPath);

// Rewrites a NUL-terminated name in place: trailing whitespace is cut, leading whitespace becomes
// underscores, whitespace inside stays.
void NormaliseName(char* name);
