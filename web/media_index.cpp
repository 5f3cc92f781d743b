// The media index: the recording and photo folders read at request time and
// written as JSON, newest entries first and only as many as fit the room.
#include "web/media_index.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "settings/settings.h"
#include "http/http_text.h"

namespace {

// Room kept for the response header in front of the body.
const int64_t header_room = 128;

// One folder as the index gives it: where it lies below the web root and
// its entries as JSON objects, newest first.
struct folder_list_t {
    const char* key = "";            // "recordings" or "photos"
    bool served = false;             // the folder lies inside the web root
    std::string relative;            // its path below the root, "/"-terminated ("" for the root)
    std::vector<std::string> items;  // one JSON object per file
    size_t taken = 0;                // items that fit into the response
};

std::string real_path(const std::string& path)
{
    char* resolved = path.empty() ? nullptr : realpath(path.c_str(), nullptr);
    if (!resolved)
        return std::string();
    std::string text = resolved;
    std::free(resolved);
    return text;
}

// Where folder lies below the web root, both taken with links resolved, so
// that no spelling of a path leads the list outside the root.
bool relative_to_root(const std::string& folder, std::string& real, std::string& relative)
{
    const std::string root = real_path(settings.root);
    real = real_path(folder);
    if (root.empty() || real.empty())
        return false;
    if (real == root) {
        relative.clear();
        return true;
    }
    const std::string prefix = root == "/" ? root : root + "/";
    if (real.compare(0, prefix.size(), prefix) != 0)
        return false;
    relative = real.substr(prefix.size()) + "/";
    return true;
}

std::string item_of(const std::string& name, const struct stat& status, bool recordings)
{
    std::string item = "{\"name\":\"" + json_escape(name) + "\",\"size\":" + std::to_string(status.st_size) +
                       ",\"time\":" + std::to_string(static_cast<long long>(status.st_mtime));
    // A recorder holds the file it is writing; the page marks it.
    if (recordings)
        item += std::string(",\"writing\":") +
                (recording_file_held({uint64_t(status.st_dev), uint64_t(status.st_ino)}) ? "true" : "false");
    return item + "}";
}

void read_folder(folder_list_t& list, const std::string& folder, bool recordings)
{
    std::string real;
    list.served = relative_to_root(folder, real, list.relative);
    DIR* listing = list.served ? opendir(real.c_str()) : nullptr;
    if (!listing)
        return;
    std::vector<std::pair<std::string, std::string>> entries;  // name, item
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        struct stat status {};
        // Links are left out: one could lead outside the web root.
        if (name.empty() || name[0] == '.' ||
            fstatat(dirfd(listing), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode))
            continue;
        entries.emplace_back(name, item_of(name, status, recordings));
    }
    closedir(listing);
    // Names begin with their UTC start time, so the greatest is the newest.
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (auto& entry : entries)
        list.items.push_back(std::move(entry.second));
}

// The body with the items taken so far.
std::string body_of(const folder_list_t (&lists)[2], bool complete)
{
    std::string body = "{\"complete\":";
    body += complete ? "true" : "false";
    for (const folder_list_t& list : lists) {
        body += ",\"" + std::string(list.key) + "\":";
        if (!list.served) {
            body += "null";
            continue;
        }
        body += "{\"folder\":\"" + json_escape(list.relative) + "\",\"files\":[";
        for (size_t i = 0; i < list.taken; ++i)
            body += (i ? "," : "") + list.items[i];
        body += "]}";
    }
    return body + "}";
}

// Takes items of both lists in turn, newest first, while the body stays
// within budget bytes; true when every item was taken.
bool take_items(folder_list_t (&lists)[2], int64_t budget)
{
    int64_t used = static_cast<int64_t>(body_of(lists, false).size());
    bool complete = true;
    bool open[2] = {true, true};
    while (open[0] || open[1]) {
        for (int i = 0; i < 2; ++i) {
            folder_list_t& list = lists[i];
            if (!open[i])
                continue;
            const int64_t cost = list.taken < list.items.size()
                                     ? static_cast<int64_t>(list.items[list.taken].size()) + 1
                                     : 0;
            // A list ends at its first item that does not fit: what is
            // given stays the newest ones, without gaps.
            if (cost == 0 || used + cost > budget) {
                complete = complete && cost == 0;
                open[i] = false;
                continue;
            }
            used += cost;
            ++list.taken;
        }
    }
    return complete;
}

}  // namespace

bool route_media_index(char* at, int64_t room, bool whole, int32_t& length, int32_t& header_length)
{
    folder_list_t lists[2];
    lists[0].key = "recordings";
    lists[1].key = "photos";
    read_folder(lists[0], settings.rec_path, true);
    read_folder(lists[1], settings.img_path, false);
    const bool complete = take_items(lists, room - header_room);
    if (whole && !complete)
        return false;
    length = error_response(at, room, &header_length, "200 OK", {}, "application/json",
                            body_of(lists, complete));
    return length >= 0;
}

namespace {
class media_index_route final : public route_handler {
public:
    route_answer_t answer(route_connection&, const route_request_t&, route_slot_t& slot) override
    {
        // Behind other answers a list cut short waits for an empty buffer.
        const bool fits = route_media_index(slot.at, slot.room, slot.behind_others, slot.length,
                                            slot.header_length);
        return fits ? route_answer_t::response : route_answer_t::no_room;
    }
};
}  // namespace

std::unique_ptr<route_handler> make_media_index_route() { return std::make_unique<media_index_route>(); }
