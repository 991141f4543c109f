#pragma once
// The program's body, so that the entry stays a few lines and start modes can
// be added here.
namespace qorvel {

// Initialises the application (title "Qorvel"), hands main-thread work to its
// event loop, creates the supervisor EMIDM and then the main window, and runs
// the loop until the window closes. The "-I:" or "/I:" switch names EMI.INI.
// Nothing connects by itself. Serves Qorvel.AutoEMI on the session bus while
// the loop runs; "/REGSERVER" and "/UNREGSERVER" write or remove the bus
// activation file and end, "/AUTOMATION" (or "/EMBEDDING", as the bus starts
// it) ends with the last automation object. Call once, on the process's first
// thread.
int RunProgram(int argc, char** argv);

}  // namespace qorvel
