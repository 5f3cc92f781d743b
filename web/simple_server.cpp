// simple_server: error log line and node factory; defines web_server.
#include "web/simple_server.h"

#include "settings/log.h"
#include "web/simple_server_node.h"

simple_server web_server;

simple_server::simple_server() = default;

// The nodes' handlers must still be this server's when they report the
// close, so the nodes go here rather than in the base destructor.
simple_server::~simple_server() { deactivate(); }

void simple_server::on_error(int32_t error)
{
    log_print("%s server function call finished with error %s\n", utc_timestamp().c_str(),
              error_name(error));
}

se_server_node* simple_server::create_node() { return new simple_server_node(); }
