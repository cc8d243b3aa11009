// What standard output is connected to, for output meant for a person.
#pragma once

namespace korvel::host {

// Whether standard output is a terminal (a console window on Windows), as
// opposed to a file or a pipe: progress lines are for a person watching.
bool StandardOutputIsTerminal();

}  // namespace korvel::host
