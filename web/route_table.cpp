// route_table and route_set: the names of the web server, one connection's
// routes, and the routing of an authorised request.
#include "web/route_table.h"

#include "http/http_parse.h"
#include "http/http_text.h"
#include "settings/settings.h"
#include "web/file_route.h"
#include "web/live_mp4.h"
#include "web/live_picture.h"
#include "web/media_index.h"
#include "web/monitoring.h"

void route_table::add(const std::string& name, route_factory_t factory, route_match_t match)
{
    for (entry_t& entry : table) {
        if (entry.name == name && entry.match == match) {
            entry.factory = std::move(factory);
            return;
        }
    }
    table.push_back({name, match, std::move(factory)});
}

void route_table::set_fallback(route_factory_t factory) { fallback_factory = std::move(factory); }

route_table& web_routes()
{
    static route_table table = [] {
        route_table built_in;
        built_in.set_fallback(make_file_route);
        built_in.add(media_index_name, make_media_index_route);
        built_in.add(metrics_route_name, make_metrics_route);
        built_in.add(health_route_name, make_health_route);
        built_in.add("preview.jpg", make_preview_jpg_route, route_match_t::last_component);
        built_in.add("preview.mjpeg", make_preview_mjpeg_route, route_match_t::last_component);
        built_in.add("preview.mp4", make_preview_mp4_route, route_match_t::last_component);
        return built_in;
    }();
    return table;
}

route_set::route_set(const route_table& table)
{
    for (const route_table::entry_t& entry : table.entries())
        named.push_back({entry.name, entry.match, entry.factory()});
    if (table.fallback())
        fallback = table.fallback()();
}

route_handler* route_set::find(const route_request_t& request) const
{
    // A whole path is more particular than a name in any folder.
    for (route_match_t match : {route_match_t::whole_path, route_match_t::last_component}) {
        const std::string key = match == route_match_t::whole_path ? request.name
                                                                   : file_name(request.file_path);
        for (const named_t& route : named)
            if (route.match == match && route.name == key && route.handler)
                return route.handler.get();
    }
    return fallback.get();
}

route_answer_t route_set::answer(route_connection& connection, route_request_t& request,
                                 route_slot_t& slot, route_handler*& handler)
{
    handler = nullptr;
    if (request.method != "GET")
        return route_answer_t::refused;
    if (!parse_query(request.query_begin, request.query_end, nullptr, request.query))
        return route_answer_t::refused;
    // Browsers escape the blanks and brackets of recording names.
    request.name = percent_decode(request.path);
    request.file_path = settings.root + request.name;
    if (!request.file_path.empty() && (request.file_path.back() == '/' || request.file_path.back() == '\\'))
        request.file_path += "index.htm";
    for (named_t& route : named)
        if (route.handler)
            route.handler->observe(request);
    if (fallback)
        fallback->observe(request);
    if (path_depth(request.name) < 0)
        return route_short_answer(slot, "403 Forbidden");
    handler = find(request);
    if (!handler)
        return route_short_answer(slot, "404 Not Found");
    return handler->answer(connection, request, slot);
}

void route_set::on_disconnected()
{
    for (named_t& route : named)
        if (route.handler)
            route.handler->on_disconnected();
    if (fallback)
        fallback->on_disconnected();
}
