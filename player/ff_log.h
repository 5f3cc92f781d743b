// Routes FFmpeg's messages into kestrel's log instead of stderr. Installed
// once by the camera and player layers; FFmpeg then calls it on any thread.
#pragma once

// Safe to call any number of times, from any thread.
void ff_log_install();
