#pragma once

// Mutes the sound output while the user dictates, when something is playing. Stand-in for now.
namespace SystemAudio {
void muteIfPlaying();
void restore();
}  // namespace SystemAudio
