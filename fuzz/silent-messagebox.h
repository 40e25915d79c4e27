// The silent message box of the fuzz targets.
#pragma once

// The formatter writes at most this many bytes, its terminator included.
#define SHOWN_TEXT_LIMIT 1024

// The number of boxes shown since the target last set it to zero.
extern int BoxesShown;
