#include "measure/board.h"

namespace thermavo {

BoardKind boardKindForRow(int row) {
    switch (row) {
    case 0:
        return BoardKind::EightChannel;
    case 1:
    case 2:
        return BoardKind::FourChannel;
    default:
        return BoardKind::None;
    }
}

int baudRateForRow(int row, int currentBaud) {
    switch (boardKindForRow(row)) {
    case BoardKind::EightChannel:
        return kEightChannelBaud;
    case BoardKind::FourChannel:
        return kFourChannelBaud;
    case BoardKind::None:
        break;
    }
    return currentBaud;
}

} // namespace thermavo
