#pragma once

class TMainForm;

// A logout, `kill` or Ctrl+C ends the session of `window` as a closing session would: its log is
// completed and the board stopped at once, also while a box waits for a click, and the program
// then ends. Linux only; Windows tells the window itself.
void endSessionOnTerminationSignals(TMainForm& window);
