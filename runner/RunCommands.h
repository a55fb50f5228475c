// The worker: the whole run of the kit's custom commands.
#pragma once

class CSarnikDlg;

// Runs the command sequence once, logging to the dialog when there is one (silent otherwise).
// Always returns 0; a failure inside the run ends it in order, reported in the log or a box.
int RunCommands(CSarnikDlg* dlg);
