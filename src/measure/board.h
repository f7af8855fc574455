#pragma once

namespace thermavo {

// The board list's rows: row 0 is the 8-channel board, rows 1 and 2 the two 4-channel boards.
enum class BoardKind { None, EightChannel, FourChannel };

constexpr int kEightChannelBaud = 57600;
constexpr int kFourChannelBaud = 9600;

// Any row outside the list (including -1, no row selected) is BoardKind::None.
BoardKind boardKindForRow(int row);

// The port's baud rate for a board row; a row outside the list keeps the current rate.
int baudRateForRow(int row, int currentBaud);

} // namespace thermavo
