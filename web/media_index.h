// The media index: a generated JSON list of the recordings and photos that
// lie inside the web root, newest first, for the page's second view. Web
// server thread, server_lock held (the folder settings are read under it).
#pragma once

#include <cstdint>
#include <memory>

#include "web/route.h"

// The request path (below the web root) that the index answers.
inline constexpr const char* media_index_name = "media.json";

// Composes the index response at `at` in at most room bytes: status 200, its
// header (up to the empty line) header_length bytes long, length in all.
// Only regular files of the recording and photo folders that lie inside the
// web root are listed, never names beginning with "."; when the list does not
// fit, the newest entries that do are given and "complete" is false. False,
// writing nothing, when not even the header fits, or when whole is asked
// for and the list does not fit whole.
bool route_media_index(char* at, int64_t room, bool whole, int32_t& length, int32_t& header_length);

// The route of media_index_name: the index behind other answers of a batch
// is given only whole (cut short it waits for an empty buffer).
std::unique_ptr<route_handler> make_media_index_route();
