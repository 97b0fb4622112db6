// COM port names as users and the dialog write them.
#pragma once

// The numbers a COM name may carry; Windows numbers its ports 1 to 255.
constexpr int COM_NUMBER_FIRST = 1;
constexpr int COM_NUMBER_LAST = 255;

// Longest port name accepted, without the terminator.
constexpr int COM_NAME_LENGTH_MAX = 255;

// The n of "COMn" or "\\.\COMn" (letters in any case, n in decimal from
// COM_NUMBER_FIRST to COM_NUMBER_LAST without leading zeros), or 0 when `name`
// is not such a name.
int com_number(const char* name);
