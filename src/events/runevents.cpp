#include "events/runevents.h"

namespace thermavo {

const char* linkChangeText(LinkChange change) {
    switch (change) {
    case LinkChange::OnLine:
        return "on line";
    case LinkChange::OffLine:
        return "off line";
    case LinkChange::Lost:
        return "lost";
    case LinkChange::Back:
        return "back";
    }
    return "";
}

} // namespace thermavo
