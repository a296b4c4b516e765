// The Qt Widgets window backend: an observer of the window model that
// mirrors every window record into a real dialog on the Qt GUI thread,
// and hands clicks, keys and typed text back to the model, which runs
// them on the window's owner thread.
#pragma once

// Starts the backend. Call on the GUI thread once the application object
// exists, before the core creates any window.
void qtBackendStart();
