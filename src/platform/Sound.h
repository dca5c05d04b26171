#pragma once
// Playing a sound file through winmm's PlaySoundW, which is loaded only while sounds are wanted.
#include <string>

namespace cv::platform {

// Loads winmm.dll once and resolves PlaySoundW; true when it can be called.
bool LoadSoundSupport();
// Forgets PlaySoundW and unloads the library.
void UnloadSoundSupport();
bool IsSoundSupportLoaded();
// PlaySoundW with the file name, no module, SND_FILENAME | SND_NOWAIT | SND_NOSTOP; it returns
// when the sound has played. False when it is not loaded or the sound could not be played.
bool PlaySoundFile(const std::wstring& path);

}  // namespace cv::platform
