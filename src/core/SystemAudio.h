#pragma once
#include <QString>

// Silences the sound output while the user dictates, when something is playing, and puts it
// back exactly as it was. One change at a time is remembered, so a restore never undoes
// what the user did. The change is also kept on disk until it is undone, so that a run that
// dies while the output is silent is mended by the next launch.
// Thread: any; the operations are serialised by one process-wide mutex (the app calls them
// on the main thread).
namespace SystemAudio {
void muteIfPlaying();
void restore();
// At launch: undoes a change an earlier run made and never undid, if the device is still
// the way that run left it.
void restoreLeftover();
// Where the pending change is kept.
QString statePath();
}  // namespace SystemAudio
