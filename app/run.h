// The run driver: one pass through the stages of a run.
#pragma once

// Runs the stages in order until one says stop, and returns the process exit code, 0 at every
// normal end, success or failure.
int RunStages(int argc, char** argv);
