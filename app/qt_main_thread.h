#pragma once
// Connects the main-thread hand-over and the system clock's timers to the Qt
// event loop: work handed over from another thread, and delayed work once it
// falls due, runs from the loop of the thread that calls this (the GUI
// thread). Call once, after the QApplication exists.
namespace qorvel {

void ConnectMainThreadToEventLoop();

}  // namespace qorvel
