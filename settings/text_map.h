// text_map: the ordered map from text to text used for request headers,
// query parameters and the configuration reader's params. Keys compare byte
// by byte; insert() never overwrites, so the first value of a key wins.
#pragma once

#include <map>
#include <string>

using text_map = std::map<std::string, std::string>;
