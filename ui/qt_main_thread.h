#pragma once
// Connects the main-thread hand-over to the Qt event loop: work handed over
// from another thread runs from the loop of the thread that calls this (the
// GUI thread). Call once, after the QApplication exists.
namespace qorvel {

void ConnectMainThreadToEventLoop();

}  // namespace qorvel
