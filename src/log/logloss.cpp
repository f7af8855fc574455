#include "log/logloss.h"

namespace thermavo {

std::string logLossText(LogLoss loss, bool sylk, const std::string& goesOnIn, int losses,
                        const std::string& at) {
    const std::string what = loss == LogLoss::Deleted ? "deleted" : "replaced";
    std::string outcome;
    if (goesOnIn.empty())
        outcome = loss == LogLoss::Deleted ? "cannot be created again" : "cannot go on writing";
    else if (loss == LogLoss::Deleted)
        outcome = "created again";
    else if (sylk)
        outcome = "continued in " + goesOnIn;
    else
        outcome = "appending to the new file";
    if (losses > 1)
        return "Log file lost " + std::to_string(losses) + " times, last " + what + " at " + at +
               ", " + outcome;
    return "Log file " + what + " at " + at + ", " + outcome;
}

} // namespace thermavo
