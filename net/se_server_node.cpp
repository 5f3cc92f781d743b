// se_server_node: nothing beyond its base; the destructor chains to it.
#include "net/se_server_node.h"

se_server_node::se_server_node() = default;

se_server_node::~se_server_node() = default;
