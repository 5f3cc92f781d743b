// Internal to the camera SDK layer: what sdk_start_save and sdk_stop_save
// do. A preview gets one recording tap, subscribed to its packets from the
// first start of a recording until the preview ends; the tap feeds the
// current recorder and keeps the packets since the last key frame, so that a
// file begun by a rotation starts with the running key-frame interval and
// loses nothing. Called on the GUI thread; the tap itself also on the
// preview's receive thread. The preview owns the tap, the tap its recorder.
#pragma once

#include <memory>
#include <string>

class preview_obj;

// Starts recording the preview into path (a recording already running on it
// ends first). False when the file can not be created.
bool start_saving(const std::shared_ptr<preview_obj>& preview, const std::string& path);
// Ends the preview's recording; returns when its file is complete. False
// when none was running.
bool stop_saving(const std::shared_ptr<preview_obj>& preview);
