#pragma once
// The program's body, so that the entry stays a few lines and start modes can
// be added here.
namespace qorvel {

// Initialises the application (title "Qorvel"), hands main-thread work to its
// event loop, creates the supervisor EMIDM and then the main window, and runs
// the loop until the window closes. The "-I:" or "/I:" switch names EMI.INI.
// Nothing connects by itself. Call once, on the process's first thread.
int RunProgram(int argc, char** argv);

}  // namespace qorvel
