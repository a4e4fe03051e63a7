#pragma once

namespace tolvi {

// --selftest-media: walks the video path once on this machine (graphics outputs, the capture
// device, a duplication and one frame, the converter, the encoders found, one encoder opened
// and fed) and prints each step's result on standard output. 0 when every step worked.
int run_media_selftest();

}  // namespace tolvi
