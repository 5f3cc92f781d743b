// route_table: the names of the web server and the route each is answered
// by, and route_set, one connection's route objects made from it. A name is
// either a whole path below the web root ("media.json") or a last path
// component in any folder ("preview.jpg"); what matches neither goes to the
// fallback route (the files below the root). web_routes() is the server's
// table with the built-in routes; a new route is one add() there (or at
// start-up, before the server runs). Web server thread under server_lock;
// the table is changed only under that lock or while the server is stopped,
// and a connection keeps the routes of the moment it was made.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/route.h"

using route_factory_t = std::function<std::unique_ptr<route_handler>()>;

enum class route_match_t {
    whole_path,      // the request's whole path below the root
    last_component,  // the file name of the path, in any folder
};

class route_table {
public:
    // A later add of the same name and match replaces the earlier one.
    void add(const std::string& name, route_factory_t factory,
             route_match_t match = route_match_t::whole_path);
    // What answers every name that was not added.
    void set_fallback(route_factory_t factory);

    struct entry_t {
        std::string name;
        route_match_t match;
        route_factory_t factory;
    };
    const std::vector<entry_t>& entries() const { return table; }
    const route_factory_t& fallback() const { return fallback_factory; }

private:
    std::vector<entry_t> table;
    route_factory_t fallback_factory;
};

// The server's table: files below the root, "preview.jpg", "preview.mjpeg",
// "media.json".
route_table& web_routes();

// The routes of one connection: an object of every route of the table, made
// when the connection is (cheaply: a route takes its resources when it
// answers), so that each keeps its state for the connection's life.
class route_set {
public:
    explicit route_set(const route_table& table);
    route_set(const route_set&) = delete;
    route_set& operator=(const route_set&) = delete;

    // Routes an authorised request: only GET (anything else is refused),
    // the query parsed (a broken one is refused), every route observes it, a
    // path that climbs above the root gets 403, then the route of its name
    // answers. handler receives that route (null for a 403).
    route_answer_t answer(route_connection& connection, route_request_t& request, route_slot_t& slot,
                          route_handler*& handler);
    // The route of a request whose name and file_path are filled in; null
    // only when the table has no fallback.
    route_handler* find(const route_request_t& request) const;
    void on_disconnected();

private:
    struct named_t {
        std::string name;
        route_match_t match;
        std::unique_ptr<route_handler> handler;
    };
    std::vector<named_t> named;
    std::unique_ptr<route_handler> fallback;
};
