// COM port names as users and the dialog write them.
#pragma once

// Highest number a COM name may carry; Windows numbers its ports up to 255.
constexpr int COM_NUMBER_LAST = 255;

// Longest port name accepted, without the terminator.
constexpr int COM_NAME_LENGTH_MAX = 255;

// The n of "COMn" or "\\.\COMn" (letters in any case, n in decimal from 1 to
// COM_NUMBER_LAST without leading zeros), or 0 when `name` is not such a name.
int com_number(const char* name);
